#pragma once

#include <cstdint>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// The far end of the tunnel in the benchmark: a TLS server that plays the broker's role. It is
// written straight against OpenSSL, with blocking sockets and one process per connection, so
// that it is never what limits a relay: what the benchmark measures is the relay.
class TlsEndpoint
{
public:
    TlsEndpoint() = default;
    ~TlsEndpoint();
    TlsEndpoint(const TlsEndpoint &) = delete;
    TlsEndpoint &operator=(const TlsEndpoint &) = delete;

    // Loads the certificate and key and listens on a free loopback port.
    bool listen(const std::string &certificateFile, const std::string &keyFile);
    uint16_t port() const { return m_port; }
    // Accepts connections for ever, each served by a child process.
    int serve();

private:
    static void serveConnection(SSL *ssl, int fd);

    SSL_CTX *m_context = nullptr;
    int m_listener = -1;
    uint16_t m_port = 0;
};
