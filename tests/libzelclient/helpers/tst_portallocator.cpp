#include "helpers/portallocator.h"
#include "logcapture.h"

#include <QtTest>
#include <QTcpServer>

namespace {

int countStartingWith(const QString &prefix)
{
    int count = 0;
    for (const QString &message : LogCapture::lines())
        count += message.startsWith(prefix) ? 1 : 0;
    return count;
}

bool isBound(unsigned short port)
{
    QTcpServer server;
    return !server.listen(QHostAddress::LocalHost, port);
}

} // namespace

class TestPortAllocator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogCapture::install();
    }

    void init()
    {
        LogCapture::clear();
    }

    void systemChosenPortIsFreeOnReturn()
    {
        for (int i = 0; i < 20; ++i) {
            const unsigned short port = PortAllocator::findAvailablePort();
            QVERIFY(port != 0);
            QVERIFY2(!isBound(port), qPrintable(QString::number(port)));
        }
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Finding a random port on localhost...")));
    }

    void rangedSearchIsRepeatable()
    {
        const unsigned short first = PortAllocator::findAvailablePort(4001, 65535);
        const unsigned short second = PortAllocator::findAvailablePort(4001, 65535);
        QVERIFY(first >= 4001);
        QCOMPARE(first, second);
        QVERIFY(!isBound(first));
    }

    void singlePortRangeTakesOneAttempt()
    {
        const unsigned short port = PortAllocator::findAvailablePort();
        QVERIFY(port != 0);
        LogCapture::clear();
        QCOMPARE(PortAllocator::findAvailablePort(port, port), port);
        QCOMPARE(countStartingWith(QStringLiteral("Trying port ")), 1);
        QCOMPARE(countStartingWith(QStringLiteral("Listening successful")), 1);
    }

    void takenPortIsSkipped()
    {
        // Occupy the first port of the fixed sequence: the search must move on to another.
        const unsigned short first = PortAllocator::findAvailablePort(4001, 65535);
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost, first));
        const unsigned short other = PortAllocator::findAvailablePort(4001, 65535);
        QVERIFY(other != first);
        QVERIFY(other >= 4001);
        QVERIFY(countStartingWith(QStringLiteral("Listening failed, will try again.")) >= 1);
    }

    void fullRangeEnds()
    {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::LocalHost, 0));
        const unsigned short port = blocker.serverPort();
        QCOMPARE(PortAllocator::findAvailablePort(port, port), static_cast<unsigned short>(0));
    }

    void emptyRangeEnds()
    {
        QCOMPARE(PortAllocator::findAvailablePort(5000, 4000), static_cast<unsigned short>(0));
    }

    void listenInRangeKeepsListening()
    {
        QTcpServer server;
        const unsigned short port = PortAllocator::listenInRange(server, 4001, 65535);
        QVERIFY(server.isListening());
        QCOMPARE(server.serverPort(), port);
        QVERIFY(isBound(port));
    }
};

QTEST_GUILESS_MAIN(TestPortAllocator)
#include "tst_portallocator.moc"
