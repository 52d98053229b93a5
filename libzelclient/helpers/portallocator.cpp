#include "portallocator.h"

#include <QDebug>
#include <QTcpServer>

#include <random>

namespace {

bool tryListen(QTcpServer &server, unsigned short port)
{
    qDebug().nospace() << "Trying port " << port;
    const bool ok = server.listen(QHostAddress::LocalHost, port);
    qDebug().nospace() << "Listening " << (ok ? "successful" : "failed, will try again.");
    return ok;
}

} // namespace

unsigned short PortAllocator::findAvailablePort()
{
    qDebug() << "Finding a random port on localhost...";
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const unsigned short port = server.serverPort();
    server.close();
    qDebug().nospace() << "Found port " << port;
    return port;
}

unsigned short PortAllocator::findAvailablePort(unsigned short min, unsigned short max)
{
    QTcpServer server;
    const unsigned short port = listenInRange(server, min, max);
    server.close();
    return port;
}

unsigned short PortAllocator::listenInRange(QTcpServer &server, unsigned short min, unsigned short max)
{
    if (min > max) {
        qWarning() << "Empty port range" << min << "-" << max;
        return 0;
    }

    std::mt19937 generator;
    std::uniform_int_distribution<unsigned short> distribution(min, max);

    // Random draws repeat ports, so a range that is almost full could keep them busy for a
    // long time and a full one for ever. After a generous number of draws every port of the
    // range is tried once in order, and then the search gives up.
    const unsigned int size = static_cast<unsigned int>(max) - min + 1;
    const unsigned int randomAttempts = size * 4 + 64;
    for (unsigned int attempt = 0; attempt < randomAttempts; ++attempt) {
        const unsigned short port = distribution(generator);
        if (tryListen(server, port))
            return port;
    }
    for (unsigned int port = min; port <= max; ++port) {
        if (tryListen(server, static_cast<unsigned short>(port)))
            return static_cast<unsigned short>(port);
    }
    qWarning() << "No free port between" << min << "and" << max;
    return 0;
}
