// Stands in for nxproxy where the real one cannot show a behaviour on demand. Driven by the
// environment:
//   FAKE_PROXY_RECORD  file that receives the arguments, one a line, then NX_CLIENT, DISPLAY
//                      and NX_ROOT as name=value lines
//   FAKE_PROXY_STDOUT  text written to standard output
//   FAKE_PROXY_STDERR  text written to standard error
//   FAKE_PROXY_CONNECT when set, connect to 127.0.0.1 at 4000 + the display of the last
//                      argument ("localhost:N"), send this text and echo back what arrives
//                      until the peer closes
//   FAKE_PROXY_WAIT    when set, wait until standard input closes (the owner went away)
//   FAKE_PROXY_SIGNAL  raise this signal at the end (a crash)
//   FAKE_PROXY_EXIT    exit code (default 0)
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void connectAndEcho(const char *greeting, const char *target)
{
    const char *colon = std::strrchr(target, ':');
    if (!colon)
        return;
    const int port = 4000 + std::atoi(colon + 1);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        std::perror("connect");
        ::close(fd);
        return;
    }
    writeAll(fd, greeting, std::strlen(greeting));
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got <= 0)
            break;
        writeAll(fd, buffer, static_cast<size_t>(got));
    }
    ::close(fd);
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *record = std::getenv("FAKE_PROXY_RECORD")) {
        if (FILE *file = std::fopen(record, "w")) {
            for (int i = 1; i < argc; ++i)
                std::fprintf(file, "%s\n", argv[i]);
            for (const char *name : {"NX_CLIENT", "DISPLAY", "NX_ROOT"}) {
                const char *value = std::getenv(name);
                std::fprintf(file, "%s=%s\n", name, value ? value : "(unset)");
            }
            std::fclose(file);
        }
    }
    if (const char *text = std::getenv("FAKE_PROXY_STDOUT"))
        writeAll(1, text, std::strlen(text));
    if (const char *text = std::getenv("FAKE_PROXY_STDERR"))
        writeAll(2, text, std::strlen(text));
    if (const char *greeting = std::getenv("FAKE_PROXY_CONNECT")) {
        if (argc > 1)
            connectAndEcho(greeting, argv[argc - 1]);
    }
    if (std::getenv("FAKE_PROXY_WAIT")) {
        char buffer[256];
        while (::read(0, buffer, sizeof(buffer)) > 0) {
        }
    }
    if (const char *signal = std::getenv("FAKE_PROXY_SIGNAL")) {
        std::signal(std::atoi(signal), SIG_DFL);
        std::raise(std::atoi(signal));
    }
    const char *code = std::getenv("FAKE_PROXY_EXIT");
    return code ? std::atoi(code) : 0;
}
