#include "helpers/keyboarddetector.h"
#include "testenvironment.h"
#include "xvfbserver.h"

#include <QtTest>

class TestKeyboardDetector : public QObject
{
    Q_OBJECT

    TestEnvironment m_env;

private slots:
    void xkbNames_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("layout");

        QTest::newRow("us") << QByteArray("_XKB_RULES_NAMES(STRING) = \"evdev\", \"pc105\", \"us\", \"\", \"\"\n")
                            << "pc105/us";
        QTest::newRow("first of several") << QByteArray("_XKB_RULES_NAMES(STRING) = \"evdev\", \"pc104\", "
                                                        "\"de,us\", \"nodeadkeys,\", \"grp:alt_shift_toggle\"\n")
                                          << "pc105/de";
        QTest::newRow("upper case") << QByteArray("_XKB_RULES_NAMES(STRING) = \"base\", \"pc105\", \"ES\"")
                                    << "pc105/es";
        QTest::newRow("not set") << QByteArray("_XKB_RULES_NAMES:  not found.\n") << "pc105/en";
        QTest::newRow("too few names") << QByteArray("_XKB_RULES_NAMES(STRING) = \"evdev\", \"pc105\"\n")
                                       << "pc105/en";
        QTest::newRow("empty layout") << QByteArray("_XKB_RULES_NAMES(STRING) = \"evdev\", \"pc105\", \"\"\n")
                                      << "pc105/en";
        QTest::newRow("odd characters") << QByteArray("_XKB_RULES_NAMES(STRING) = \"a\", \"b\", \"us/../x\"\n")
                                        << "pc105/en";
        QTest::newRow("empty") << QByteArray() << "pc105/en";
    }

    void xkbNames()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, layout);
        QCOMPARE(KeyboardDetector::layoutFromXkbRulesNames(output), layout);
    }

    void windowsLayoutNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<uint>("locale");

        QTest::newRow("US English") << "00000409" << true << 0x409u;
        QTest::newRow("Spanish") << "0000040A" << true << 0x40Au;
        QTest::newRow("lower case hex") << "0000040c" << true << 0x40Cu;
        QTest::newRow("not hexadecimal") << "0000zz09" << false << 0u;
        QTest::newRow("too short") << "00" << false << 0u;
        QTest::newRow("sign") << "00+00409" << false << 0u;
    }

    void windowsLayoutNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, ok);
        QFETCH(uint, locale);
        unsigned int result = 0;
        QCOMPARE(KeyboardDetector::localeFromLayoutName(name, &result), ok);
        if (ok)
            QCOMPARE(result, locale);
    }

    void noDisplayFallsBack()
    {
        const QByteArray previous = qgetenv("DISPLAY");
        qunsetenv("DISPLAY");
        QCOMPARE(KeyboardDetector::getKeyboardLayout(), QStringLiteral("pc105/en"));
        if (!previous.isEmpty())
            qputenv("DISPLAY", previous);
    }

    void unreachableDisplayFallsBack()
    {
        const QByteArray previous = qgetenv("DISPLAY");
        const int display = TestEnvironment::freeDisplay();
        QVERIFY(display > 0);
        qputenv("DISPLAY", QByteArray("127.0.0.1:") + QByteArray::number(display));
        QCOMPARE(KeyboardDetector::getKeyboardLayout(), QStringLiteral("pc105/en"));
        qputenv("DISPLAY", previous);
    }

    void realXServer()
    {
        ZEL_REQUIRE("Xvfb", "xprop");
        XvfbServer server;
        QVERIFY2(server.start(XvfbServer::Listen::Tcp), qPrintable(server.errorText()));

        const QByteArray previous = qgetenv("DISPLAY");
        qputenv("DISPLAY", server.displayName().toLatin1());
        // The answer comes from the background and is then given at once.
        KeyboardDetector::detectInBackground();
        // Xvfb starts with the built-in XKB default layout.
        QTRY_COMPARE_WITH_TIMEOUT(KeyboardDetector::getKeyboardLayout(), QStringLiteral("pc105/us"),
                                  TestEnvironment::timeout(15000));
        qputenv("DISPLAY", previous);
    }
};

QTEST_GUILESS_MAIN(TestKeyboardDetector)
#include "tst_keyboarddetector.moc"
