#include "tlsendpoint.h"

#include "benchprotocol.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool readExactly(SSL *ssl, char *data, int size)
{
    while (size > 0) {
        const int n = SSL_read(ssl, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool writeAll(SSL *ssl, const char *data, int size)
{
    while (size > 0) {
        const int n = SSL_write(ssl, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// Reads and drops count bytes, at most perTick bytes every tickMs when paced.
bool sink(SSL *ssl, qint64 count, qint64 perTick, int tickMs)
{
    std::vector<char> buffer(256 * 1024);
    qint64 inTick = 0;
    while (count > 0) {
        qint64 wanted = std::min<qint64>(count, qint64(buffer.size()));
        if (perTick > 0)
            wanted = std::min(wanted, perTick - inTick);
        const int n = SSL_read(ssl, buffer.data(), int(wanted));
        if (n <= 0)
            return false;
        count -= n;
        inTick += n;
        if (perTick > 0 && inTick >= perTick) {
            inTick = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
        }
    }
    return true;
}

bool source(SSL *ssl, qint64 count)
{
    const std::vector<char> block(256 * 1024, 'z');
    while (count > 0) {
        const int size = int(std::min<qint64>(count, qint64(block.size())));
        if (!writeAll(ssl, block.data(), size))
            return false;
        count -= size;
    }
    return true;
}

bool echo(SSL *ssl, qint64 count)
{
    char buffer[4096];
    while (count > 0) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0 || !writeAll(ssl, buffer, n))
            return false;
        count -= n;
    }
    return true;
}

} // namespace

TlsEndpoint::~TlsEndpoint()
{
    if (m_listener >= 0)
        ::close(m_listener);
    SSL_CTX_free(m_context);
}

bool TlsEndpoint::listen(const std::string &certificateFile, const std::string &keyFile)
{
    m_context = SSL_CTX_new(TLS_server_method());
    if (!m_context || SSL_CTX_use_certificate_chain_file(m_context, certificateFile.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(m_context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return false;
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 64) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("endpoint");
        return false;
    }
    m_port = ntohs(address.sin_port);
    return true;
}

int TlsEndpoint::serve()
{
    // Finished connections are reaped by the system.
    std::signal(SIGCHLD, SIG_IGN);
    for (;;) {
        const int fd = ::accept(m_listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (fork() == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(m_listener);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            SSL *ssl = SSL_new(m_context);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1)
                serveConnection(ssl, fd);
            SSL_free(ssl);
            ::close(fd);
            _exit(0);
        }
        ::close(fd);
    }
}

void TlsEndpoint::serveConnection(SSL *ssl, int fd)
{
    char header[BenchProtocol::HeaderSize];
    if (!readExactly(ssl, header, sizeof header))
        return;
    const qint64 count = BenchProtocol::decodeCount(header);
    bool ok = false;
    switch (header[0]) {
    case BenchProtocol::Upload:
        ok = sink(ssl, count, 0, 0) && writeAll(ssl, &BenchProtocol::Done, 1);
        break;
    case BenchProtocol::SlowUpload: {
        // A small receive buffer, so that the slow reading holds the sender back soon.
        const int size = int(BenchProtocol::SlowBytesPerTick);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ok = sink(ssl, count, BenchProtocol::SlowBytesPerTick, BenchProtocol::SlowTickMs)
             && writeAll(ssl, &BenchProtocol::Done, 1);
        break;
    }
    case BenchProtocol::Download:
        ok = source(ssl, count);
        break;
    case BenchProtocol::PingPong:
        ok = echo(ssl, count);
        break;
    default:
        break;
    }
    if (ok)
        SSL_shutdown(ssl);
}
