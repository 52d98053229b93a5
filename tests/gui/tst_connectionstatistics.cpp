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
    QVERIFY(added.wait(5000));
    QVERIFY(dialog.chart()->downloadSeries()->points().constLast().y() > 0);

    dialog.stop();
    QVERIFY(!dialog.chart()->isRunning());
    dialog.stop();
    // The window can be grabbed with the plotted points: it paints without trouble.
    QVERIFY(!dialog.grab().isNull());
}

QTEST_MAIN(TestConnectionStatistics)
#include "tst_connectionstatistics.moc"
