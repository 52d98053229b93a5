#include "zelbackend.h"

#include <QSignalSpy>
#include <QTest>

// The smallest concrete backend: it only exposes the counting helpers.
class CountingBackend : public ZELBackend
{
    Q_OBJECT
public:
    using ZELBackend::ZELBackend;
    void start(QTcpSocket *) override {}
    void stop() override {}
    using ZELBackend::addStat;
    using ZELBackend::addTotalTraffic;
};

class TestZELBackend : public QObject
{
    Q_OBJECT

private slots:
    void totalsKeepFullWidth();
    void statisticsSeenByDirectReceiverAreCurrent();
    void channelCountersAccumulate();
    void snapshotIsACopy();
};

void TestZELBackend::totalsKeepFullWidth()
{
    CountingBackend backend;
    QSignalSpy increments(&backend, &ZELBackend::totalTrafficIncrement);
    QVERIFY(increments.isValid());

    backend.addTotalTraffic(0, 1000);
    backend.addTotalTraffic(70000, 0);
    // Far beyond 32 bits: a long session moves many GiB.
    const int64_t big = int64_t(5) << 32;
    backend.addTotalTraffic(big, big);

    QCOMPARE(increments.count(), 3);
    QCOMPARE(increments.at(1).at(0).value<int64_t>(), int64_t(70000));
    QCOMPARE(increments.at(2).at(0).value<int64_t>(), big);
    const ZELBackend::Statistics stats = backend.getStatistics();
    QCOMPARE(stats.totalIn, int64_t(70000) + big);
    QCOMPARE(stats.totalOut, int64_t(1000) + big);
    QVERIFY(stats.channels.isEmpty());
}

void TestZELBackend::statisticsSeenByDirectReceiverAreCurrent()
{
    CountingBackend backend;
    QList<int64_t> seenIn;
    QStringList order;
    connect(&backend, &ZELBackend::statisticsUpdated, this,
            [&](const ZELBackend::Statistics &stats) {
                seenIn << stats.totalIn;
                order << QStringLiteral("stats");
            });
    connect(&backend, &ZELBackend::totalTrafficIncrement, this,
            [&](int64_t, int64_t) { order << QStringLiteral("total"); });
    connect(&backend, &ZELBackend::channelStatIncrement, this,
            [&](ZELBackend::NXChannel, int64_t, int64_t) { order << QStringLiteral("channel"); });

    backend.addTotalTraffic(10, 0);
    backend.addTotalTraffic(5, 0);
    backend.addStat(ZELBackend::Slave, 1, 2);

    QCOMPARE(seenIn, (QList<int64_t>{10, 15, 15}));
    QCOMPARE(order, (QStringList{"stats", "total", "stats", "total", "stats", "channel"}));
}

void TestZELBackend::channelCountersAccumulate()
{
    CountingBackend backend;
    QSignalSpy channel(&backend, &ZELBackend::channelStatIncrement);
    QVERIFY(channel.isValid());

    backend.addStat(ZELBackend::X11, 100, 7);
    backend.addStat(ZELBackend::Multimedia, 1, 1);
    backend.addStat(ZELBackend::X11, 50, 3);

    const ZELBackend::Statistics stats = backend.getStatistics();
    QCOMPARE(stats.channels.size(), 2);
    QCOMPARE(stats.channels.value(ZELBackend::X11).in, int64_t(150));
    QCOMPARE(stats.channels.value(ZELBackend::X11).out, int64_t(10));
    QCOMPARE(stats.channels.value(ZELBackend::Multimedia).in, int64_t(1));
    QCOMPARE(channel.count(), 3);
    QCOMPARE(channel.at(2).at(0).value<ZELBackend::NXChannel>(), ZELBackend::X11);
    QCOMPARE(channel.at(2).at(1).value<int64_t>(), int64_t(50));
    // Per-channel increments leave the totals alone.
    QCOMPARE(stats.totalIn, int64_t(0));
}

void TestZELBackend::snapshotIsACopy()
{
    CountingBackend backend;
    backend.addStat(ZELBackend::CUPS, 1, 1);
    backend.addTotalTraffic(1, 1);
    const ZELBackend::Statistics before = backend.getStatistics();
    backend.addStat(ZELBackend::CUPS, 10, 10);
    backend.addTotalTraffic(10, 10);
    QCOMPARE(before.channels.value(ZELBackend::CUPS).in, int64_t(1));
    QCOMPARE(before.totalIn, int64_t(1));
    QCOMPARE(backend.getStatistics().totalIn, int64_t(11));
}

QTEST_GUILESS_MAIN(TestZELBackend)
#include "tst_zelbackend.moc"
