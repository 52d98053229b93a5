// zel-client-slaveclient-usbip: the one part of the client that runs with administrator rights
// (started by the client through pkexec, or directly when the client runs as root). It lends
// one local USB device to the kernel's USB/IP host driver for the connection it is handed, and
// gives devices back:
//
//   zel-client-slaveclient-usbip bind <bus id> <vendor>:<product>[:<serial>]   (socket on stdin)
//   zel-client-slaveclient-usbip unbind <bus id>
//
// Exit codes: 0 done; 1 refused, nothing changed; 2 wrong arguments; 3 failed, the device is
// back with its driver; 4 failed, the device is still bound. The reason goes to standard error.
#include "usbiphost.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

const int UsageError = 2;

int usage()
{
    std::fprintf(stderr, "Usage: zel-client-slaveclient-usbip bind <bus id> <vendor>:<product>[:<serial>]\n"
                         "       zel-client-slaveclient-usbip unbind <bus id>\n"
                         "A bus id reads like 1-1.4; vendor and product are four lower-case hexadecimal digits.\n"
                         "bind takes the connection the device is served on as its standard input.\n");
    return UsageError;
}

#ifdef ZEL_USBIP_TEST_BUILD
// The tests' build works on a fake sysfs tree named by the environment. It is never installed,
// and it refuses to run with rights that are not its caller's.
const char *sysfsRoot()
{
    if (::getuid() != ::geteuid() || std::getenv("PKEXEC_UID"))
        return nullptr;
    const char *root = std::getenv("ZEL_TEST_SYSFS_ROOT");
    return root && root[0] == '/' ? root : nullptr;
}
#else
const char *sysfsRoot()
{
    return "/sys";
}
#endif

} // namespace

int main(int argc, char **argv)
{
    const char *root = sysfsRoot();
    if (!root)
        return usage();
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "bind" && argc == 4 && UsbipHost::isBusId(argv[2]) && UsbipHost::isIdentity(argv[3]))
        return UsbipHost(root).bind(argv[2], argv[3], STDIN_FILENO);
    if (command == "unbind" && argc == 3 && UsbipHost::isBusId(argv[2]))
        return UsbipHost(root).giveBack(argv[2]);
    return usage();
}
