#include "backends/zelnxbackend.h"
#include "connectionstatisticschart.h"
#include "testenvironment.h"

#include <QAreaSeries>
#include <QDateTimeAxis>
#include <QLineSeries>
#include <QValueAxis>
#include <QtTest>

using namespace QtCharts;

namespace {

QPair<double, double> range(const ConnectionStatisticsChart &chart)
{
    return {chart.valueAxis()->min(), chart.valueAxis()->max()};
}

QPair<double, double> symmetric(double half)
{
    return {-half, half};
}

// Bytes that a 1250 ms average turns into the given KiB/s.
int64_t bytesFor(double kibPerSecond)
{
    return int64_t(kibPerSecond * 1024 * 1.25);
}

} // namespace

class TestConnectionStatisticsChart : public QObject
{
    Q_OBJECT

private slots:
    void startState();
    void noTraffic();
    void peakSetsPowerOfTwo_data();
    void peakSetsPowerOfTwo();
    void peakStaysThirtySeconds();
    void pointLimit();
    void timeAxisFollows();
    void timerRunsUntilStopped();
    void stopIsHarmless();
    void onlyTheCurrentBackendCounts();
    void backendDeletedBeforeStop();
    void updateBeforeAnyBackend();

private:
    TestEnvironment m_environment;
};

void TestConnectionStatisticsChart::startState()
{
    ConnectionStatisticsChart chart;
    QCOMPARE(chart.title(), QStringLiteral("Bandwidth usage"));
    QCOMPARE(chart.animationOptions(), QChart::NoAnimation);
    QCOMPARE(chart.chartType(), QChart::ChartTypeCartesian);
    QVERIFY(!chart.isRunning());

    const QList<QAbstractSeries *> shown = chart.series();
    QCOMPARE(shown.size(), 2);
    auto *download = qobject_cast<QAreaSeries *>(shown.at(0));
    auto *upload = qobject_cast<QAreaSeries *>(shown.at(1));
    QVERIFY(download && upload);
    QCOMPARE(download->name(), QStringLiteral("Download"));
    QCOMPARE(upload->name(), QStringLiteral("Upload"));
    QCOMPARE(download->pen().color(), QColor(Qt::red));
    QCOMPARE(upload->pen().color(), QColor(Qt::blue));
    QCOMPARE(download->upperSeries(), chart.downloadSeries());
    QCOMPARE(download->lowerSeries(), chart.zeroSeries());
    QCOMPARE(upload->upperSeries(), chart.zeroSeries());
    QCOMPARE(upload->lowerSeries(), chart.uploadSeries());
    QCOMPARE(chart.downloadSeries()->name(), QStringLiteral("Download"));
    QCOMPARE(chart.downloadSeries()->pen().width(), 1);
    QCOMPARE(chart.uploadSeries()->name(), QStringLiteral("Upload"));
    QCOMPARE(chart.uploadSeries()->pen().color(), QColor(Qt::blue));
    for (QAbstractSeries *series : shown) {
        QVERIFY(series->attachedAxes().contains(chart.timeAxis()));
        QVERIFY(series->attachedAxes().contains(chart.valueAxis()));
    }

    QCOMPARE(chart.timeAxis()->format(), QStringLiteral("h:mm:ss"));
    QCOMPARE(chart.timeAxis()->tickCount(), 6);
    QCOMPARE(chart.timeAxis()->titleText(), QStringLiteral("Time"));
    QCOMPARE(chart.timeAxis()->alignment(), Qt::AlignBottom);
    QCOMPARE(chart.valueAxis()->labelFormat(), QStringLiteral("%d"));
    QCOMPARE(chart.valueAxis()->tickCount(), 10);
    QCOMPARE(chart.valueAxis()->titleText(), QStringLiteral("KiB/s"));
    QCOMPARE(chart.valueAxis()->alignment(), Qt::AlignLeft);
    QCOMPARE(range(chart), symmetric(16));
}

void TestConnectionStatisticsChart::noTraffic()
{
    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    chart.setBackend(&backend);
    for (int i = 0; i < 10; ++i)
        chart.updateChart();
    QCOMPARE(range(chart), symmetric(32));
    QCOMPARE(chart.downloadSeries()->count(), 10);
    for (const QPointF &point : chart.downloadSeries()->points())
        QCOMPARE(point.y(), 0.0);
    chart.stop();
}

void TestConnectionStatisticsChart::peakSetsPowerOfTwo_data()
{
    QTest::addColumn<double>("downKiB");
    QTest::addColumn<double>("upKiB");
    QTest::addColumn<double>("half");

    QTest::newRow("small download") << 10.0 << 0.0 << 32.0;
    QTest::newRow("exactly 32") << 32.0 << 0.0 << 32.0;
    QTest::newRow("just above 32") << 33.0 << 0.0 << 64.0;
    QTest::newRow("100 down") << 100.0 << 0.0 << 128.0;
    QTest::newRow("300 up") << 1.0 << 300.0 << 512.0;
    QTest::newRow("both, larger wins") << 700.0 << 1500.0 << 2048.0;
}

void TestConnectionStatisticsChart::peakSetsPowerOfTwo()
{
    QFETCH(double, downKiB);
    QFETCH(double, upKiB);
    QFETCH(double, half);

    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    chart.setBackend(&backend);
    emit backend.totalTrafficIncrement(bytesFor(downKiB), 0);
    emit backend.totalTrafficIncrement(0, bytesFor(upKiB));
    chart.updateChart();

    QCOMPARE(range(chart), symmetric(half));
    QVERIFY(qAbs(chart.downloadSeries()->points().constLast().y() - downKiB) < 0.01);
    QVERIFY(qAbs(chart.uploadSeries()->points().constLast().y() + upKiB) < 0.01);
    QCOMPARE(chart.zeroSeries()->points().constLast().y(), 0.0);
    chart.stop();
}

void TestConnectionStatisticsChart::peakStaysThirtySeconds()
{
    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    QSignalSpy ticks(chart.downloadSeries(), &QXYSeries::pointAdded);
    QVERIFY(ticks.isValid());

    // One burst of 100 KiB/s right after the hand-over; the timer and the calls below tick.
    chart.setBackend(&backend);
    emit backend.totalTrafficIncrement(bytesFor(100), 0);
    auto lastDownload = [&] {
        chart.updateChart();
        return chart.downloadSeries()->points().constLast().y();
    };
    // Every tick saw the burst until it left the averaging window.
    QTRY_VERIFY_WITH_TIMEOUT(lastDownload() == 0.0, TestEnvironment::timeout(10000));
    chart.stop();

    int burstTicks = 0;
    for (const QPointF &point : chart.downloadSeries()->points()) {
        if (point.y() > 0)
            ++burstTicks;
    }
    QVERIFY(burstTicks >= 1);
    QCOMPARE(chart.downloadSeries()->points().at(burstTicks - 1).y(), chart.downloadSeries()->points().constFirst().y());
    QVERIFY(qAbs(chart.downloadSeries()->points().constFirst().y() - 100) < 0.01);
    QCOMPARE(range(chart), symmetric(128));

    // The history holds 30 s of ticks (120): the axis stays wide until the last burst tick
    // is overwritten, then falls back.
    while (ticks.count() < 120 + burstTicks - 1) {
        chart.updateChart();
        QCOMPARE(range(chart), symmetric(128));
    }
    chart.updateChart();
    QCOMPARE(range(chart), symmetric(32));
}

void TestConnectionStatisticsChart::pointLimit()
{
    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    chart.setBackend(&backend);
    chart.stop();
    for (int i = 0; i < 239; ++i)
        chart.updateChart();
    QCOMPARE(chart.downloadSeries()->count(), 239);
    // One minute of updates and more.
    for (int i = 0; i < 61; ++i)
        chart.updateChart();
    QCOMPARE(chart.downloadSeries()->count(), 240);
    QCOMPARE(chart.uploadSeries()->count(), 240);
    QCOMPARE(chart.zeroSeries()->count(), 240);
    // The oldest points went, the newest stay in time order.
    const QVector<QPointF> points = chart.zeroSeries()->pointsVector();
    for (int i = 1; i < points.size(); ++i)
        QVERIFY(points.at(i - 1).x() <= points.at(i).x());
}

void TestConnectionStatisticsChart::timeAxisFollows()
{
    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    const QDateTime before = QDateTime::currentDateTime();
    chart.setBackend(&backend);
    chart.stop();
    // Handed over: the axis runs from now into the next 30 seconds.
    QVERIFY(chart.timeAxis()->min() >= before.addSecs(-1));
    QCOMPARE(chart.timeAxis()->min().secsTo(chart.timeAxis()->max()), qint64(30));

    chart.updateChart();
    const QDateTime after = QDateTime::currentDateTime();
    // Updated: the axis ends at the newest point and shows the last 30 seconds.
    QCOMPARE(chart.timeAxis()->max().toMSecsSinceEpoch(), qint64(chart.zeroSeries()->points().constLast().x()));
    QVERIFY(chart.timeAxis()->max() <= after);
    QCOMPARE(chart.timeAxis()->min().secsTo(chart.timeAxis()->max()), qint64(30));
}

void TestConnectionStatisticsChart::timerRunsUntilStopped()
{
    ZELNXBackend backend;
    ConnectionStatisticsChart chart;
    QSignalSpy added(chart.downloadSeries(), &QXYSeries::pointAdded);
    QVERIFY(added.isValid());

    chart.setBackend(&backend);
    QVERIFY(chart.isRunning());
    emit backend.totalTrafficIncrement(bytesFor(50), 0);
    QVERIFY(added.wait(TestEnvironment::timeout(5000)));
    QTRY_VERIFY(added.count() >= 2);
    QVERIFY(chart.downloadSeries()->points().constFirst().y() > 0);

    chart.stop();
    QVERIFY(!chart.isRunning());
    const int count = chart.downloadSeries()->count();
    // Points stay after a stop; a new hand-over starts the timer again.
    QCOMPARE(chart.downloadSeries()->count(), count);
    chart.setBackend(&backend);
    QVERIFY(chart.isRunning());
    QVERIFY(added.wait(TestEnvironment::timeout(5000)));
    QVERIFY(chart.downloadSeries()->count() > count);
    chart.stop();
}

void TestConnectionStatisticsChart::stopIsHarmless()
{
    ConnectionStatisticsChart chart;
    chart.stop();
    QVERIFY(!chart.isRunning());

    ZELNXBackend backend;
    chart.setBackend(&backend);
    chart.stop();
    chart.stop();
    QVERIFY(!chart.isRunning());
    QCOMPARE(chart.backend(), nullptr);

    // Stopped: the backend's traffic no longer reaches the chart.
    emit backend.totalTrafficIncrement(bytesFor(500), 0);
    chart.updateChart();
    QCOMPARE(chart.downloadSeries()->points().constLast().y(), 0.0);
}

void TestConnectionStatisticsChart::onlyTheCurrentBackendCounts()
{
    ZELNXBackend first;
    ZELNXBackend second;
    ConnectionStatisticsChart chart;
    chart.setBackend(&first);
    chart.setBackend(&second);
    chart.stop();
    chart.setBackend(&second);

    emit first.totalTrafficIncrement(bytesFor(400), 0);
    chart.updateChart();
    QCOMPARE(chart.downloadSeries()->points().constLast().y(), 0.0);

    emit second.totalTrafficIncrement(bytesFor(40), 0);
    chart.updateChart();
    QVERIFY(qAbs(chart.downloadSeries()->points().constLast().y() - 40) < 0.01);
    chart.stop();
}

void TestConnectionStatisticsChart::backendDeletedBeforeStop()
{
    ConnectionStatisticsChart chart;
    auto *backend = new ZELNXBackend;
    chart.setBackend(backend);
    QCOMPARE(chart.backend(), backend);
    delete backend;
    // The chart must not keep a pointer to the deleted backend for stop() to use.
    QCOMPARE(chart.backend(), nullptr);
    chart.updateChart();
    chart.stop();
    QVERIFY(!chart.isRunning());

    // And a new attempt after that works as usual.
    ZELNXBackend next;
    chart.setBackend(&next);
    emit next.totalTrafficIncrement(bytesFor(64), 0);
    chart.updateChart();
    QCOMPARE(range(chart), symmetric(64));
    chart.stop();
}

void TestConnectionStatisticsChart::updateBeforeAnyBackend()
{
    ConnectionStatisticsChart chart;
    chart.updateChart();
    QCOMPARE(chart.downloadSeries()->count(), 1);
    QCOMPARE(range(chart), symmetric(32));
}

QTEST_MAIN(TestConnectionStatisticsChart)
#include "tst_connectionstatisticschart.moc"
