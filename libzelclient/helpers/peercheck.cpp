#include "peercheck.h"

#include <QAbstractSocket>
#include <QHostAddress>

QString PeerCheck::peerOwner(const QAbstractSocket &connection)
{
    if (connection.state() != QAbstractSocket::ConnectedState || !connection.peerAddress().isLoopback())
        return QString();
    // The peer's socket is bound where this one is connected to, and connected to where this one is bound.
    return socketOwner(connection.peerAddress(), connection.peerPort(), connection.localAddress(),
                       connection.localPort());
}

QString PeerCheck::listenerOwner(quint16 port)
{
    return socketOwner(QHostAddress(QHostAddress::LocalHost), port, QHostAddress(QHostAddress::AnyIPv4), 0);
}

bool PeerCheck::isOwnPeer(const QAbstractSocket &connection)
{
    const QString owner = peerOwner(connection);
    return !owner.isEmpty() && owner == ownUser();
}

bool PeerCheck::isOwnListener(quint16 port)
{
    const QString owner = listenerOwner(port);
    return !owner.isEmpty() && owner == ownUser();
}

QString PeerCheck::describe(const QString &owner)
{
    return owner.isEmpty() ? QStringLiteral("an unknown user") : QStringLiteral("user ") + owner;
}
