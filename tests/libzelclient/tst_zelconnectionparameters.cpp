#include "zelclient.h"
#include "zelconnectionparameters.h"

#include <QtTest>

namespace {

QStringList capturedMessages;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg)
        capturedMessages << message;
}

QString debugText(const ZELConnectionParameters &parameters)
{
    QString text;
    QDebug(&text) << parameters;
    return text;
}

} // namespace

class TestZELConnectionParameters : public QObject
{
    Q_OBJECT

private slots:
    void defaults()
    {
        const ZELConnectionParameters p;
        QCOMPARE(p.port(), quint16(8443));
        QCOMPARE(p.connectionSpeed(), ZELConnectionParameters::ADSL);
        QCOMPARE(p.geometry(), QSize(1024, 768));
        QCOMPARE(p.keyboard(), QStringLiteral("empty/empty"));
        QVERIFY(p.audioCompression());
        QVERIFY(!p.fullscreen() && !p.printing() && !p.usb_forwarding() && !p.audio() && !p.microphone());
        QVERIFY(p.host().isEmpty() && p.username().isEmpty() && p.password().isEmpty());
        QVERIFY(p.sharedFolders().isEmpty() && p.EnvironmentVariables().isEmpty() && p.sharedUsbDevices().isEmpty());
    }

    void copiesAreIndependent()
    {
        ZELConnectionParameters original;
        original.setSharedFolders({QStringLiteral("/a")});
        ZELConnectionParameters copy = original;
        copy.setSharedFolders({QStringLiteral("/b")});
        copy.setHost(QStringLiteral("other"));
        QStringList folders = original.sharedFolders();
        folders << QStringLiteral("/c");
        QCOMPARE(original.sharedFolders(), QStringList{QStringLiteral("/a")});
        QVERIFY(original.host().isEmpty());
    }

    void speedToString_data()
    {
        QTest::addColumn<int>("speed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("logsCritical");
        QTest::newRow("modem") << 0 << "modem" << false;
        QTest::newRow("isdn") << 1 << "isdn" << false;
        QTest::newRow("adsl") << 2 << "adsl" << false;
        QTest::newRow("wan") << 3 << "wan" << false;
        QTest::newRow("lan") << 4 << "lan" << false;
        QTest::newRow("local") << 5 << "local" << false;
        QTest::newRow("unknown 6") << 6 << "adsl" << true;
        QTest::newRow("negative") << -1 << "adsl" << true;
    }

    void speedToString()
    {
        QFETCH(int, speed);
        QFETCH(QString, text);
        QFETCH(bool, logsCritical);

        capturedMessages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
        const QString result = ::speedToString(static_cast<ZELConnectionParameters::ConnectionSpeed>(speed));
        qInstallMessageHandler(previous);

        QCOMPARE(result, text);
        if (logsCritical) {
            QCOMPARE(capturedMessages.size(), 1);
            QCOMPARE(capturedMessages.first(), QStringLiteral("Can't convert speed  %1  to string, new constant? "
                                                              "Please fix me! Assuming ADSL.")
                                                   .arg(speed));
        } else {
            QVERIFY(capturedMessages.isEmpty());
        }
    }

    void debugOutputMasksSecretsAndLeavesOutTokenAndDevices()
    {
        ZELConnectionParameters p;
        p.setHost(QStringLiteral("broker.example"));
        p.setUsername(QStringLiteral("alice"));
        p.setPassword(QStringLiteral("s3cret-pass"));
        p.setSecondFactor(QStringLiteral("123456"));
        p.setToken(QStringLiteral("bearer-token-xyz"));
        USBDevice device;
        device.setVendorId(0x1d6b);
        device.setProductId(2);
        device.setManufacturer(QStringLiteral("Linux Foundation"));
        p.setSharedUsbDevices({device});

        const QString text = debugText(p);
        QVERIFY(text.contains(QStringLiteral("; Password = '********'")));
        QVERIFY(!text.contains(QStringLiteral("s3cret-pass")));
        QVERIFY(!text.contains(QStringLiteral("123456")));
        QVERIFY(!text.contains(QStringLiteral("bearer-token-xyz")));
        QVERIFY(!text.contains(QStringLiteral("Linux Foundation")));
    }

    void debugOutputExactForm()
    {
        ZELConnectionParameters p;
        p.setHost(QStringLiteral("h"));
        p.setSharedFolders({QStringLiteral("/f")});
        p.setTimezone(QStringLiteral("Europe/Madrid"));
        QCOMPARE(debugText(p),
                 QStringLiteral("{ Host = '\"h\"'; Port = 8443; User = '\"\"'; Password = '********'; Second factor = ********; "
                                "Speed = 2; Geometry = QSize(1024, 768); Keyboard = '\"empty/empty\"'; "
                                "ExtraArgs = '\"\"'; NxProxyExtraArgs = '\"\"'; FullScreen = false; Printing = false; "
                                "USBForwarding = false; SharedFolders = (\"/f\"); EnvironmentVariables = (); "
                                "Audio = false; Microphone = false; Audio compression = true; "
                                "Timezone = \"Europe/Madrid\"} "));
    }

    void debugOutputRestoresSpacing()
    {
        QString text;
        {
            QDebug debug(&text);
            debug << ZELConnectionParameters() << "a" << "b";
        }
        QVERIFY2(text.endsWith(QStringLiteral("} a b ")), qPrintable(text));

        text.clear();
        {
            QDebug debug(&text);
            debug.nospace() << ZELConnectionParameters() << "a" << "b";
        }
        QVERIFY2(text.endsWith(QStringLiteral("}ab")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestZELConnectionParameters)
#include "tst_zelconnectionparameters.moc"
