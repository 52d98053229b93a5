#include "nxerrorcommanddata.h"

#include <QtTest>

class TestNXErrorCommandData : public QObject
{
    Q_OBJECT

private slots:
    void dialogType_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("type");
        QTest::newRow("yesno mixed case, blanks") << " YesNo  " << true << 3;
        QTest::newRow("error capitals") << "ERROR " << true << 2;
        QTest::newRow("yesnosuspend") << "yesnosuspend" << true << 4;
        QTest::newRow("quit") << "quit" << true << 7;
        QTest::newRow("unknown keeps type") << "maybe" << false << 5;
    }

    void dialogType()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, type);
        NXErrorCommandData data;
        data.type = NXErrorCommandData::Panic;
        QCOMPARE(data.setTypeFromQString(text), accepted);
        QCOMPARE(data.type, type);
    }

    void dialogCompleteness()
    {
        NXErrorCommandData data;
        data.caption = QStringLiteral("NX");
        QVERIFY(!data.isComplete());
        data.message = QStringLiteral("m");
        QVERIFY(!data.isComplete());
        data.type = NXErrorCommandData::Ok;
        QVERIFY(data.isComplete());
        data.message.clear();
        QVERIFY(!data.isComplete());
    }
};

QTEST_GUILESS_MAIN(TestNXErrorCommandData)
#include "tst_nxerrorcommanddata.moc"
