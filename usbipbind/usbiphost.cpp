#include "usbiphost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What the kernel shows in usbip_status for a device bound to usbip-host and not in use.
const char statusAvailable[] = "1";
const char hubClass[] = "09";
const char hostDriver[] = "usbip-host";

void say(const std::string &text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
}

// The text with the reason of the call that just failed.
std::string withError(const std::string &text)
{
    return text + ": " + std::strerror(errno);
}

std::string trimmed(const std::string &text)
{
    const char *blanks = " \t\n\r\v\f";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The trimmed text of an attribute file of the folder; empty when there is none.
std::string attribute(int folder, const char *name)
{
    const int file = ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
        return std::string();
    char buffer[512];
    const ssize_t length = ::read(file, buffer, sizeof buffer);
    ::close(file);
    return length > 0 ? trimmed(std::string(buffer, std::size_t(length))) : std::string();
}

// Writes text the way the kernel's attributes take it: one write to a freshly opened file.
bool writeAttribute(int folder, const std::string &path, const std::string &text)
{
    const int file = ::openat(folder, path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (file < 0)
        return false;
    const ssize_t written = ::write(file, text.data(), text.size());
    const int writeError = errno;
    const bool closed = ::close(file) == 0;
    errno = writeError;
    return written == ssize_t(text.size()) && closed;
}

bool writeAttribute(const std::string &path, const std::string &text)
{
    return writeAttribute(AT_FDCWD, path, text);
}

// The name of the driver the device is bound to; empty when it has none.
std::string driverOf(int deviceFolder)
{
    char target[4096];
    const ssize_t length = ::readlinkat(deviceFolder, "driver", target, sizeof target - 1);
    if (length <= 0)
        return std::string();
    const std::string link(target, std::size_t(length));
    const std::string::size_type slash = link.rfind('/');
    return slash == std::string::npos ? link : link.substr(slash + 1);
}

// The socket must be a connected TCP stream: that is what the kernel serves the device on.
bool isConnectedTcpSocket(int socket)
{
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    length = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0
        || (domain != AF_INET && domain != AF_INET6))
        return false;
    sockaddr_storage peer{};
    length = sizeof peer;
    return ::getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
}

bool isNumber(const std::string &text)
{
    if (text.empty() || text.size() > 3 || text[0] < '1' || text[0] > '9')
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool isHexId(const std::string &text)
{
    if (text.size() != 4)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

} // namespace

UsbipHost::UsbipHost(std::string sysfsRoot)
    : m_root(std::move(sysfsRoot))
{
}

bool UsbipHost::isBusId(const std::string &text)
{
    const std::string::size_type dash = text.find('-');
    if (dash == std::string::npos || !isNumber(text.substr(0, dash)))
        return false;
    std::string::size_type start = dash + 1;
    for (int level = 0; level < 8; ++level) {
        const std::string::size_type dot = text.find('.', start);
        if (!isNumber(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start)))
            return false;
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
    return false;
}

bool UsbipHost::isIdentity(const std::string &text)
{
    if (text.size() < 9 || !isHexId(text.substr(0, 4)) || text[4] != ':' || !isHexId(text.substr(5, 4)))
        return false;
    if (text.size() == 9)
        return true;
    const std::string serial = text.substr(10);
    if (text[9] != ':' || serial.empty() || serial.size() > 255 || serial != trimmed(serial))
        return false;
    for (const char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    return true;
}

std::string UsbipHost::devicesFolder() const
{
    return m_root + "/bus/usb/devices/";
}

std::string UsbipHost::hostDriverFile(const char *name) const
{
    return m_root + "/bus/usb/drivers/" + hostDriver + "/" + name;
}

bool UsbipHost::isHostDriverLoaded() const
{
    struct stat folder{};
    return ::stat((m_root + "/bus/usb/drivers/" + hostDriver).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
}

bool UsbipHost::matches(int deviceFolder, const std::string &identity) const
{
    std::string actual = attribute(deviceFolder, "idVendor") + ":" + attribute(deviceFolder, "idProduct");
    const std::string serial = attribute(deviceFolder, "serial");
    if (!serial.empty())
        actual += ":" + serial;
    return actual == identity;
}

bool UsbipHost::isStillTheCheckedDevice(int deviceFolder, const std::string &busId,
                                        const std::string &identity) const
{
    // The folder of a device that was unplugged is gone for good, even while it is held open;
    // a device plugged in at the same place gets a folder of its own.
    struct stat checked{};
    struct stat current{};
    if (::fstat(deviceFolder, &checked) != 0 || ::stat((devicesFolder() + busId).c_str(), &current) != 0)
        return false;
    return checked.st_dev == current.st_dev && checked.st_ino == current.st_ino && matches(deviceFolder, identity);
}

UsbipHost::Outcome UsbipHost::bind(const std::string &busId, const std::string &identity, int socket)
{
    if (!isConnectedTcpSocket(socket)) {
        say("The standard input is not a connected TCP socket; USB device " + busId + " was not bound");
        return Refused;
    }
    if (!isHostDriverLoaded()) {
        say("The usbip-host kernel module is not loaded (modprobe usbip-host); USB device " + busId
            + " was not bound");
        return Refused;
    }
    const int device = ::open((devicesFolder() + busId).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (device < 0) {
        say("No USB device is plugged in at " + busId);
        return Refused;
    }
    Outcome outcome = Refused;
    const std::string driver = driverOf(device);
    if (!matches(device, identity)) {
        say("Another USB device than the one chosen is plugged in at " + busId + "; it was not bound");
    } else if (attribute(device, "bDeviceClass") == hubClass) {
        say("The USB device at " + busId + " is a hub, which cannot be shared");
    } else if (driver == hostDriver) {
        say("The USB device at " + busId + " is bound to usbip-host already, by someone else");
    } else {
        outcome = Done;
    }
    if (outcome != Done) {
        ::close(device);
        return outcome;
    }

    // From here on every failure gives the device back before it is reported.
    if (!writeAttribute(hostDriverFile("match_busid"), "add " + busId))
        outcome = undo(busId, withError("usbip-host did not take the bus id " + busId));
    else if (!driver.empty() && !writeAttribute(device, "driver/unbind", busId))
        outcome = undo(busId, withError("USB device " + busId + " could not be taken from its driver " + driver));
    else if (!writeAttribute(hostDriverFile("bind"), busId))
        outcome = undo(busId, withError("usbip-host did not take USB device " + busId));
    else if (!isStillTheCheckedDevice(device, busId, identity))
        outcome = undo(busId, "USB device " + busId + " was unplugged or replaced while it was bound");
    else if (attribute(device, "usbip_status") != statusAvailable)
        outcome = undo(busId, "usbip-host does not offer USB device " + busId);
    else if (!writeAttribute(device, "usbip_sockfd", std::to_string(socket) + "\n"))
        outcome = undo(busId, withError("The kernel did not take the connection for USB device " + busId));
    ::close(device);
    return outcome;
}

UsbipHost::Outcome UsbipHost::undo(const std::string &busId, const std::string &what)
{
    say(what);
    return giveBack(busId) == Done ? FailedGivenBack : FailedStillBound;
}

UsbipHost::Outcome UsbipHost::giveBack(const std::string &busId)
{
    if (!isHostDriverLoaded())
        return Done; // without the driver nothing can be bound to it
    const int device = ::open((devicesFolder() + busId).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool bound = device >= 0 && driverOf(device) == hostDriver;
    if (bound && !writeAttribute(hostDriverFile("unbind"), busId)) {
        say(withError("usbip-host did not let go of USB device " + busId));
        ::close(device);
        return FailedStillBound;
    }
    // The order usbip itself keeps: the bus id leaves usbip-host's table, so that no device
    // plugged in there later is taken, and the device is offered to the other drivers again.
    // Either may find nothing to do.
    writeAttribute(hostDriverFile("match_busid"), "del " + busId);
    if (!writeAttribute(hostDriverFile("rebind"), busId) && device >= 0 && driverOf(device).empty())
        writeAttribute(m_root + "/bus/usb/drivers_probe", busId);
    if (device >= 0)
        ::close(device);
    return Done;
}
