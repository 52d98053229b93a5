#include "logcapture.h"
#include "refusingport.h"
#include "sessionkeeper.h"
#include "testenvironment.h"
#include "zelbackend.h"
#include "zelclient.h"

#include <QSignalSpy>
#include <QTest>

#include <climits>

namespace {

// Stands in for the display backend: a drop is what it reports, which the test makes happen.
class DroppingBackend : public ZELBackend
{
    Q_OBJECT
public:
    using ZELBackend::ZELBackend;
    void start(QTcpSocket *) override {}
    void stop() override {}
    void drop() { emit linkLost(QStringLiteral("the test cut the link")); }
};

} // namespace

// The keeper's attempt sequence against a broker that is not there: its waits, its end when the
// time allowed is over, and the user's cancel between two attempts.
class TestSessionKeeper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void backoffSequence_data();
    void backoffSequence();
    void attemptsUntilTheTimeAllowedIsOver();
    void cancelBetweenAttempts();
    void noResumeWhenTurnedOff();

private:
    struct Keeper
    {
        Keeper(quint16 port, int resumeSeconds)
            : keeper(&client)
        {
            client.setBackend(&backend);
            ZELConnectionParameters parameters;
            parameters.setHost(QStringLiteral("127.0.0.1"));
            parameters.setPort(port);
            parameters.setUsername(QStringLiteral("demo"));
            parameters.setPassword(QStringLiteral("demo"));
            client.setParameters(parameters);
            keeper.setResumeSeconds(resumeSeconds);
            keeper.watch(5, QStringLiteral("Desk"));
            QObject::connect(&keeper, &SessionKeeper::progress, &keeper, [this](const QString &, int attempt, int next) {
                // The wait announced when each attempt is scheduled.
                if (next > 0 && (waits.isEmpty() || waits.last().first != attempt))
                    waits.append({attempt, next});
            });
        }

        DroppingBackend backend;
        ZELClient client;
        SessionKeeper keeper;
        QList<QPair<int, int>> waits;
    };

    TestEnvironment m_environment;
};

void TestSessionKeeper::initTestCase()
{
    LogCapture::install();
}

void TestSessionKeeper::init()
{
    LogCapture::clear();
}

void TestSessionKeeper::backoffSequence_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<int>("seconds");
    QTest::newRow("before the first") << 0 << 1;
    QTest::newRow("first") << 1 << 1;
    QTest::newRow("fifth, doubled") << 5 << 16;
    QTest::newRow("sixth, at the ceiling") << 6 << 30;
    QTest::newRow("seventh stays there") << 7 << 30;
    QTest::newRow("no overflow") << INT_MAX << 30;
}

void TestSessionKeeper::backoffSequence()
{
    QFETCH(int, attempt);
    QFETCH(int, seconds);
    QCOMPARE(SessionKeeper::delayBeforeAttempt(attempt), seconds);
}

void TestSessionKeeper::attemptsUntilTheTimeAllowedIsOver()
{
    RefusingPort broker;
    QVERIFY(broker.port() != 0);
    Keeper keeper(broker.port(), 4);
    QSignalSpy gaveUp(&keeper.keeper, &SessionKeeper::gaveUp);
    QSignalSpy terminated(&keeper.client, &ZELClient::connectionTerminated);
    QVERIFY(gaveUp.isValid() && terminated.isValid());

    keeper.backend.drop();
    QVERIFY(keeper.keeper.isResuming());
    QVERIFY(gaveUp.wait(TestEnvironment::timeout(20000)));
    // Attempts after 1 and 2 s were refused; the third, 4 s later, came after the time allowed.
    QCOMPARE(keeper.waits, (QList<QPair<int, int>>{{1, 1}, {2, 2}, {3, 4}}));
    QCOMPARE(LogCapture::count(QStringLiteral("Reconnect attempt 1 to VM Desk")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("Reconnect attempt 2 to VM Desk")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("Reconnect attempt 3 to VM Desk")), 0);
    const QString text = gaveUp.first().first().toString();
    QVERIFY2(text.contains(QStringLiteral("Desk")) && text.contains(QStringLiteral("4 seconds")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("refused")), qPrintable(text));
    QVERIFY(!keeper.keeper.isResuming());
    // Each refused attempt ended its own connection; the giving up ends the session.
    QCOMPARE(terminated.size(), 3);
}

void TestSessionKeeper::cancelBetweenAttempts()
{
    RefusingPort broker;
    Keeper keeper(broker.port(), 300);
    QSignalSpy gaveUp(&keeper.keeper, &SessionKeeper::gaveUp);
    QSignalSpy terminated(&keeper.client, &ZELClient::connectionTerminated);
    keeper.backend.drop();
    QTRY_COMPARE_WITH_TIMEOUT(terminated.size(), 1, TestEnvironment::timeout(10000));
    QVERIFY(keeper.keeper.isResuming());

    // The user cancels while the keeper waits 2 s for the second attempt.
    keeper.keeper.cancel();
    QCOMPARE(gaveUp.size(), 1);
    QCOMPARE(gaveUp.first().first().toString(), QString());
    QCOMPARE(terminated.size(), 2);
    QVERIFY(!keeper.keeper.isResuming());
    // Nothing more is tried: the session's end is the last thing that happens.
    QVERIFY(!terminated.wait(TestEnvironment::timeout(3000)));
    QCOMPARE(LogCapture::count(QStringLiteral("Reconnect attempt 2 to VM Desk")), 0);
}

void TestSessionKeeper::noResumeWhenTurnedOff()
{
    RefusingPort broker;
    Keeper keeper(broker.port(), 0);
    QSignalSpy dropped(&keeper.keeper, &SessionKeeper::dropped);
    QSignalSpy terminated(&keeper.client, &ZELClient::connectionTerminated);
    // Told not to keep its display, the backend would not report a drop at all.
    QVERIFY(!keeper.backend.keepDisplayOnLinkLoss());
    keeper.backend.drop();
    QCOMPARE(terminated.size(), 1);
    QCOMPARE(dropped.size(), 0);
    QVERIFY(!keeper.keeper.isResuming());
}

QTEST_GUILESS_MAIN(TestSessionKeeper)
#include "tst_sessionkeeper.moc"
