#include "backends/zelnxbackend.h"
#include "connectionstatistics.h"
#include "connectionstatisticschart.h"
#include "testenvironment.h"

#include <QChartView>
#include <QDialogButtonBox>
#include <QFrame>
#include <QLineSeries>
#include <QPushButton>
#include <QLayout>
#include <QtTest>

class TestConnectionStatistics : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void closeButton();
    void feedsTheChart();
    void followsOnlyWhileShown();

private:
    TestEnvironment m_environment;
};

void TestConnectionStatistics::form()
{
    ConnectionStatistics dialog;
    QCOMPARE(dialog.size(), QSize(1103, 531));
    QVERIFY(dialog.findChild<QLayout *>(QStringLiteral("verticalLayout")));
    auto *frame = dialog.findChild<QFrame *>(QStringLiteral("graphFrame"));
    QVERIFY(frame);
    QVERIFY(frame->findChild<QLayout *>(QStringLiteral("horizontalLayout")));
    auto *graphLayout = frame->findChild<QLayout *>(QStringLiteral("graphLayout"));
    QVERIFY(graphLayout);

    auto *view = frame->findChild<QtCharts::QChartView *>();
    QVERIFY(view);
    QCOMPARE(graphLayout->indexOf(view), 0);
    QVERIFY(view->renderHints() & QPainter::Antialiasing);
    QCOMPARE(view->chart(), dialog.chart());
    QCOMPARE(view->chart()->title(), QStringLiteral("Bandwidth usage"));

    auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QVERIFY(box);
    QCOMPARE(box->buttons().size(), 1);
    QVERIFY(box->button(QDialogButtonBox::Close));
}

void TestConnectionStatistics::closeButton()
{
    ConnectionStatistics dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Close)->click();
    QTRY_VERIFY(!dialog.isVisible());
}

void TestConnectionStatistics::feedsTheChart()
{
    ZELNXBackend backend;
    ConnectionStatistics dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QSignalSpy added(dialog.chart()->downloadSeries(), &QtCharts::QXYSeries::pointAdded);
    QVERIFY(added.isValid());
    dialog.setBackend(&backend);
    QVERIFY(dialog.chart()->isRunning());
    emit backend.totalTrafficIncrement(200 * 1024, 0);
    QVERIFY(added.wait(TestEnvironment::timeout(5000)));
    QVERIFY(dialog.chart()->downloadSeries()->points().constLast().y() > 0);

    dialog.stop();
    QVERIFY(!dialog.chart()->isRunning());
    dialog.stop();
    // The window can be grabbed with the plotted points: it paints without trouble.
    QVERIFY(!dialog.grab().isNull());
}

// Nobody looks at a hidden chart: it follows the connection only while shown, and a new
// connection starts with an empty chart.
void TestConnectionStatistics::followsOnlyWhileShown()
{
    ZELNXBackend first;
    ConnectionStatistics dialog;
    dialog.setBackend(&first);
    QVERIFY(!dialog.chart()->isRunning());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.chart()->isRunning());
    QSignalSpy added(dialog.chart()->downloadSeries(), &QtCharts::QXYSeries::pointAdded);
    emit first.totalTrafficIncrement(100 * 1024, 0);
    QVERIFY(added.wait(TestEnvironment::timeout(5000)));

    dialog.hide();
    QVERIFY(!dialog.chart()->isRunning());

    ZELNXBackend second;
    dialog.setBackend(&second);
    QCOMPARE(dialog.chart()->downloadSeries()->count(), 0);
    QCOMPARE(dialog.chart()->uploadSeries()->count(), 0);
    dialog.show();
    QVERIFY(dialog.chart()->isRunning());
    QCOMPARE(dialog.chart()->backend(), &second);

    dialog.stop();
    dialog.hide();
    dialog.show();
    QVERIFY(!dialog.chart()->isRunning());
}

QTEST_MAIN(TestConnectionStatistics)
#include "tst_connectionstatistics.moc"
