#include "peercheck.h"

#include <QDebug>
#include <QHostAddress>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The kernel's TCP state numbers (include/net/tcp_states.h).
const int TcpEstablished = 1;

// Closes the descriptor however the lookup ends.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The address in the form the socket diagnostics take it: network byte order, IPv4 in the first word.
bool fillAddress(const QHostAddress &address, __be32 out[4], int *family)
{
    std::memset(out, 0, 4 * sizeof(__be32));
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4) {
        *family = AF_INET;
        out[0] = htonl(v4);
        return true;
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    *family = AF_INET6;
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    std::memcpy(out, v6.c, 16);
    return true;
}

} // namespace

QString PeerCheck::ownUser()
{
    return QString::number(::geteuid());
}

// One exact lookup in the kernel's socket table through NETLINK_SOCK_DIAG: the socket whose
// local end and remote end are the ones given. With the remote end left at zero the kernel
// finds the listener a connection to the local end would reach.
QString PeerCheck::socketOwner(const QHostAddress &local, quint16 localPort, const QHostAddress &remote,
                               quint16 remotePort)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    std::memset(&message, 0, sizeof(message));
    int family = 0;
    int remoteFamily = 0;
    if (!fillAddress(local, message.request.id.idiag_src, &family)
        || !fillAddress(remote, message.request.id.idiag_dst, &remoteFamily))
        return QString();
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<__u8>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(localPort);
    message.request.id.idiag_dport = htons(remotePort);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    const Descriptor netlink{::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
    if (netlink.fd < 0) {
        qWarning().nospace() << "The kernel's socket diagnostics cannot be reached (" << std::strerror(errno)
                             << "); no peer can be told apart from another user";
        return QString();
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink.fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr *>(&kernel), sizeof(kernel)) < 0)
        return QString();

    // The kernel answers within the call above: one socket, or an error such as "no such socket".
    alignas(nlmsghdr) char answer[8192];
    ssize_t length;
    do {
        length = ::recv(netlink.fd, answer, sizeof(answer), MSG_DONTWAIT);
    } while (length < 0 && errno == EINTR);
    for (auto *header = reinterpret_cast<nlmsghdr *>(answer); length > 0 && NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY
            || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
        // A socket no process holds (no inode) has an owner only while it waits, connected, in
        // its listener's queue: it then carries the listener's user. A closed one (time-wait,
        // orphaned) is reported as root's, which says nothing about who held it.
        if (socket->idiag_inode == 0 && socket->idiag_state != TcpEstablished)
            return QString();
        return QString::number(socket->idiag_uid);
    }
    return QString();
}
