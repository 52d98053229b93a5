#pragma once

#include <QString>

class QAbstractSocket;
class QHostAddress;

// Tells which local user owns the socket at the other end of a loopback TCP connection, or the
// socket listening on a loopback port, as the kernel knows it. Every listener the client opens
// admits the session's own user only, and the client connects only to what that user opened:
// any other user of the machine is a stranger. A socket whose owner cannot be told (it is gone,
// it is not on this machine, the kernel does not say) counts as a stranger's.
class PeerCheck
{
public:
    // The user running the client, in the form the owners below are given.
    static QString ownUser();
    // The owner of the socket at the other end of a connected loopback socket; empty when it
    // cannot be told.
    static QString peerOwner(const QAbstractSocket &connection);
    // The owner of the socket that a connection to 127.0.0.1 at port reaches now; empty when
    // nothing listens there.
    static QString listenerOwner(quint16 port);

    static bool isOwnPeer(const QAbstractSocket &connection);
    static bool isOwnListener(quint16 port);
    // For the log: "user <owner>", or what is known when the owner is not.
    static QString describe(const QString &owner);

private:
    // The owner of the TCP socket bound to local:localPort and connected to remote:remotePort;
    // a listener is found with the remote address and port left at zero.
    static QString socketOwner(const QHostAddress &local, quint16 localPort, const QHostAddress &remote,
                               quint16 remotePort);
};
