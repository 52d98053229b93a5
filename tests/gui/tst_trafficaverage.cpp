#include "trafficaverage.h"

#include <QtTest>

using Samples = QList<QPair<int, qint64>>;

class TestTrafficAverage : public QObject
{
    Q_OBJECT

private slots:
    void average_data();
    void average();
    void sampleAtWindowEdge();
    void newWindowAppliesToHeldSamples();
    void realClock();
    void zeroWindow();
};

namespace {
const QDateTime base = QDateTime(QDate(2026, 1, 1), QTime(12, 0), Qt::UTC);
}

void TestTrafficAverage::average_data()
{
    QTest::addColumn<int>("windowMs");
    // Pairs of (milliseconds after base, bytes).
    QTest::addColumn<Samples>("samples");
    QTest::addColumn<int>("askAtMs");
    QTest::addColumn<double>("expected");

    QTest::newRow("empty") << 15000 << Samples() << 0 << 0.0;
    QTest::newRow("30000 bytes in 15 s") << 15000 << Samples{{0, 10000}, {5000, 10000}, {14000, 10000}}
                                         << 14500 << 2000.0;
    // The divisor is the full window also when the samples cover less of it.
    QTest::newRow("one sample, full divisor") << 15000 << Samples{{0, 15000}} << 0 << 1000.0;
    QTest::newRow("old samples dropped") << 1000 << Samples{{0, 5000}, {1500, 300}, {2000, 700}}
                                         << 2400 << 1000.0;
    QTest::newRow("all expired") << 1250 << Samples{{0, 128000}} << 1251 << 0.0;
    QTest::newRow("chart window") << 1250 << Samples{{0, 128000}} << 1250 << 102400.0;
    QTest::newRow("beyond 32 bits") << 1000 << Samples{{0, qint64(3) << 32}} << 0
                                    << double(qint64(3) << 32);
}

void TestTrafficAverage::average()
{
    QFETCH(int, windowMs);
    QFETCH(Samples, samples);
    QFETCH(int, askAtMs);
    QFETCH(double, expected);

    TrafficAverage avg(windowMs);
    for (const auto &sample : samples)
        avg.add(sample.second, base.addMSecs(sample.first));
    QCOMPARE(avg.average(base.addMSecs(askAtMs)), expected);
}

void TestTrafficAverage::sampleAtWindowEdge()
{
    TrafficAverage avg(1000);
    avg.add(1000, base);
    // Exactly one window old: still inside.
    QCOMPARE(avg.average(base.addMSecs(1000)), 1000.0);
    QCOMPARE(avg.sampleCount(), 1);
    // One millisecond more: gone, and it stays gone.
    QCOMPARE(avg.average(base.addMSecs(1001)), 0.0);
    QCOMPARE(avg.sampleCount(), 0);
    QCOMPARE(avg.average(base.addMSecs(500)), 0.0);
}

void TestTrafficAverage::newWindowAppliesToHeldSamples()
{
    TrafficAverage avg(100);
    avg.add(500, base);
    avg.setWindow(1250);
    QCOMPARE(avg.window(), 1250);
    QCOMPARE(avg.average(base.addMSecs(1000)), 400.0);
}

void TestTrafficAverage::realClock()
{
    TrafficAverage avg(60000);
    avg.add(60000);
    avg.add(60000);
    QCOMPARE(avg.average(), 2000.0);
    avg.clear();
    QCOMPARE(avg.average(), 0.0);
}

void TestTrafficAverage::zeroWindow()
{
    TrafficAverage avg(0);
    avg.add(100, base);
    QCOMPARE(avg.average(base), 0.0);
}

QTEST_GUILESS_MAIN(TestTrafficAverage)
#include "tst_trafficaverage.moc"
