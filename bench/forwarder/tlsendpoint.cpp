#include "tlsendpoint.h"

#include "endpointsession.h"

#include <QSslSocket>

TlsEndpoint::TlsEndpoint(const QSslConfiguration &configuration, QObject *parent)
    : QTcpServer(parent)
    , m_configuration(configuration)
{
}

void TlsEndpoint::incomingConnection(qintptr descriptor)
{
    auto socket = new QSslSocket(this);
    socket->setSslConfiguration(m_configuration);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    new EndpointSession(socket, this);
    socket->startServerEncryption();
}
