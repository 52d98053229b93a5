#include "chosenvariables.h"
#include "commandlineparser.h"
#include "demobrokerprocess.h"
#include "listdialog.h"
#include "logcapture.h"
#include "loginform.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "refusingport.h"
#include "sslerrordialog.h"
#include "testenvironment.h"
#include "tlstestserver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

// Accepts temporarily any certificate question and confirms every message box.
void acceptCertificateOnce(QWidget *dialog)
{
    if (qobject_cast<SSLErrorDialog *>(dialog))
        ModalAnswerer::clickButton(QStringLiteral("Accept temporarily"))(dialog);
    else
        ModalAnswerer::rejectDialog(dialog);
}

QJsonObject twoUserConfig(int vmCount)
{
    QJsonObject config = DemoBrokerProcess::simpleConfig();
    QJsonArray users = config.value(QStringLiteral("users")).toArray();
    users.append(QJsonObject{{QStringLiteral("name"), QStringLiteral("blocked")},
                             {QStringLiteral("password"), QStringLiteral("demo")},
                             {QStringLiteral("statusOverrides"), QJsonObject{{QStringLiteral("/zel/list_of_vm"), 503}}}});
    config[QStringLiteral("users")] = users;
    QJsonArray vms;
    for (int id = 1; id <= vmCount; ++id) {
        vms.append(QJsonObject{{QStringLiteral("id"), id * 10},
                               {QStringLiteral("name"), QStringLiteral("VM %1").arg(id)},
                               {QStringLiteral("state"), QStringLiteral("running")},
                               {QStringLiteral("endpoint"), QStringLiteral("127.0.0.1:1")}});
    }
    config[QStringLiteral("vms")] = vms;
    return config;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    template<typename T>
    T *child(MainWindow &window, const char *name)
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }

    bool isIdle(MainWindow &window) { return LoginForm::isIdle(&window); }

    void fillLogin(MainWindow &window, const QString &server, const QString &user, const QString &password)
    {
        LoginForm::fill(&window, server, user, password);
    }

    QString brokerServer(const DemoBrokerProcess &broker) const
    {
        return QStringLiteral("127.0.0.1:%1").arg(broker.port());
    }

private slots:
    void initTestCase()
    {
        // The demo broker's VMs run a real agent.
        ZEL_REQUIRE("nxagent", "nxproxy");
    }

    void init()
    {
        QSettings().clear();
    }

    void formTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("user") << "usernameLabel" << "User name";
        QTest::newRow("password") << "passwordLabel" << "Password";
        QTest::newRow("second factor") << "secondFactorLabel" << "Second factor";
        QTest::newRow("remember") << "rememberPasswordCheck" << "Remember password";
        QTest::newRow("restart") << "restartSession" << "Restart session";
        QTest::newRow("connect") << "connectButton" << "Connect";
        QTest::newRow("cancel") << "cancelButton" << "Cancel";
        QTest::newRow("options") << "optionsLabel" << "Options";
        QTest::newRow("two factor") << "enableTwoFactorAuthCheck" << "Two factor authentication";
        QTest::newRow("audio") << "enableAudioCheck" << "Enable audio";
        QTest::newRow("microphone") << "enableMicrophoneCheck" << "Enable microphone";
        QTest::newRow("printing") << "enablePrintingCheck" << "Enable printing";
        QTest::newRow("full screen") << "fullScreenCheck" << "Full screen";
        QTest::newRow("graph") << "showBandwidthGraphCheck" << "Show bandwidth graph";
        QTest::newRow("connectivity") << "connectivityLabel" << "Connectivity";
        QTest::newRow("server") << "serverLabel" << "Server";
        QTest::newRow("type") << "connectionTypeLabel" << "Connection type";
        QTest::newRow("folders") << "enableSharedFoldersCheck" << "Enable shared folders";
        QTest::newRow("add") << "addSharedFolderButton" << "Add";
        QTest::newRow("remove") << "removeSharedFolderButton" << "Remove";
        QTest::newRow("usb") << "enableUSBRedirectionCheck" << "Enable USB redirection";
    }

    void formTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        MainWindow window;
        QWidget *widget = window.findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(widget->property("text").toString(), text);
    }

    void formStructure()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("ZEL"));
        QCOMPARE(window.size(), QSize(438, 544));
        auto *tabs = child<QTabWidget>(window, "mainTabWidget");
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Connect"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Settings"));
        QCOMPARE(tabs->tabText(2), QStringLiteral("Version"));
        QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("connectTab"));
        auto *shared = child<QTabWidget>(window, "sharedResourcesTabWidget");
        QCOMPARE(shared->tabText(0), QStringLiteral("Shared Folders"));
        QCOMPARE(shared->tabText(1), QStringLiteral("Environment Variables"));
        QCOMPARE(shared->tabText(2), QStringLiteral("USB"));
        auto *types = child<QComboBox>(window, "connectionTypeComboBox");
        QCOMPARE(types->count(), 6);
        QCOMPARE(types->itemText(5), QStringLiteral("Local"));
        QCOMPARE(types->itemData(5).toInt(), 5);
        QCOMPARE(types->currentData().toInt(), 2);
        QCOMPARE(child<QLineEdit>(window, "password")->echoMode(), QLineEdit::Password);
        QVERIFY(child<QPushButton>(window, "connectButton")->isDefault());
        QVERIFY(isIdle(window));
        QVERIFY(child<QListView>(window, "EnvVarList")->model()->rowCount() > 0);
    }

    void experimentalShowsBandwidthBox()
    {
        MainWindow window;
        window.show();
        QVERIFY(child<QCheckBox>(window, "showBandwidthGraphCheck")->isHidden());
        window.setExperimental(true);
        QVERIFY(!child<QCheckBox>(window, "showBandwidthGraphCheck")->isHidden());
    }

    void twoFactorFieldFollowsTheBox()
    {
        MainWindow window;
        window.show();
        QVERIFY(!child<QLineEdit>(window, "secondFactor")->isVisible());
        child<QCheckBox>(window, "enableTwoFactorAuthCheck")->setChecked(true);
        QVERIFY(child<QLineEdit>(window, "secondFactor")->isVisible());
    }

    void errorMessages_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("title");
        QTest::newRow("0") << 0 << "Bug: no error";
        QTest::newRow("1") << 1 << "Authentication error";   // in the user's words, below
        QTest::newRow("2") << 2 << "Timeout";
        QTest::newRow("3") << 3 << "Error when starting the VM";
        QTest::newRow("4") << 4 << "Protocol error";
        QTest::newRow("5") << 5 << "Server blocked";
        QTest::newRow("6") << 6 << "Server error";
        QTest::newRow("7") << 7 << "X Server error";
        QTest::newRow("8") << 8 << "Backend error";
        QTest::newRow("9") << 9 << "Internal error";
        // Not one of the named errors, yet a value the type can hold (its range is 0 to 15).
        QTest::newRow("other") << 15 << "";
    }

    void errorMessages()
    {
        QFETCH(int, error);
        QFETCH(QString, title);
        MainWindow window;
        window.show();
        ModalAnswerer answerer;
        emit window.session()->connectionError(ZELClient::ConnectionError(error), QStringLiteral("details"));
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.seen().first().title, QStringLiteral("ZEL"));
        // A refused login is told in the user's language rather than in the session's.
        const QString details = error == ZELClient::AuthenticationError ? QStringLiteral("Wrong user name or password.")
                                                                         : QStringLiteral("details");
        QCOMPARE(answerer.seen().first().text, title + QLatin1Char('\n') + details);
        QVERIFY(isIdle(window));
    }

    // Folders and USB devices that did not reach the VM, and a session without sound, are named
    // when the window comes back after the session.
    void unsharedFoldersNamedOnReturn()
    {
        MainWindow window;
        window.show();
        emit window.session()->folderNotShared(QStringLiteral("/data/one"), QStringLiteral("the folder does not exist"));
        emit window.session()->folderNotShared(QStringLiteral("/data/two"), QStringLiteral("the VM refused it"));
        emit window.session()->usbDeviceNotShared(QStringLiteral("Maker Stick (1-4)"),
                                                  QStringLiteral("no authentication agent answered"));
        emit window.session()->audioNotAvailable(QStringLiteral("The pulseaudio program was not found"));
        window.hide();
        emit window.session()->connectionTerminated();
        QVERIFY(window.isVisible());
        const QString status = window.findChild<QLabel *>(QStringLiteral("statusLabel"))->text();
        for (const char *expected : {"/data/one", "does not exist", "/data/two", "refused", "Maker Stick (1-4)",
                                     "authentication agent", "pulseaudio"})
            QVERIFY2(status.contains(QLatin1String(expected)), qPrintable(status));
    }

    void emptyServer()
    {
        MainWindow window;
        window.show();
        ModalAnswerer answerer;
        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.seen().first().text,
                 QStringLiteral("Server is not set.\nPlease configure a server to connect to."));
        QCOMPARE(child<QTabWidget>(window, "mainTabWidget")->currentWidget()->objectName(), QStringLiteral("settingsTab"));
        QVERIFY(isIdle(window));
    }

    // Failures a user meets: each ends in its message box, the idle look and a window that
    // connects again (the demo broker then lists two VMs and the picker is cancelled).
    void failuresLeaveAWorkingWindow_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("refused") << "refused" << "Failed to connect to ZEL at 127.0.0.1:%1\nConnection refused";
        // The reason after the line end is the resolver's, which differs between systems.
        QTest::newRow("unknown host") << "unknown host" << "Failed to connect to ZEL at no-such-host.invalid:8443\n";
        QTest::newRow("closed in handshake") << "handshake" << "Failed to connect to ZEL at 127.0.0.1:%1\n";
        QTest::newRow("wrong password") << "password" << "Authentication error\n";
        QTest::newRow("blocked") << "blocked" << "Server blocked\n";
        QTest::newRow("never answers TLS") << "silent" << "Timeout\nNo connection to 127.0.0.1:%1 within 2 seconds";
        // Whichever notices first (the socket or the unfinished answer) tells the user, once.
        QTest::newRow("drops during the VM list") << "drops" << "";
        QTest::newRow("dies while the picker is open") << "dies" << "";
    }

    void failuresLeaveAWorkingWindow()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(twoUserConfig(2)), qPrintable(broker.errorText()));

        QTcpServer closingServer;
        QVERIFY(closingServer.listen(QHostAddress::LocalHost));
        connect(&closingServer, &QTcpServer::newConnection, this, [&closingServer] {
            QTcpSocket *socket = closingServer.nextPendingConnection();
            socket->readAll();
            socket->close();
        });
        // Takes the connection and never speaks TLS.
        QTcpServer silentServer;
        QVERIFY(silentServer.listen(QHostAddress::LocalHost));
        // Takes the VM list request and goes away before answering it.
        TlsTestServer droppingBroker;
        QVERIFY2(droppingBroker.start(), qPrintable(droppingBroker.errorText()));
        connect(&droppingBroker, &TlsTestServer::encrypted, this, [](QSslSocket *peer) {
            connect(peer, &QSslSocket::readyRead, peer, [peer] {
                if (peer->readAll().contains("list_of_vm"))
                    peer->disconnectFromHost();
            });
        });
        DemoBrokerProcess dyingBroker;

        MainWindow window;
        window.show();
        if (kind == QLatin1String("silent"))
            window.session()->setConnectTimeout(2000);
        ModalAnswerer answerer(acceptCertificateOnce);

        quint16 port = 0;
        RefusingPort refusing;
        if (kind == QLatin1String("refused")) {
            port = refusing.port();
            fillLogin(window, QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("demo"), QStringLiteral("demo"));
        } else if (kind == QLatin1String("unknown host")) {
            fillLogin(window, QStringLiteral("no-such-host.invalid"), QStringLiteral("demo"), QStringLiteral("demo"));
        } else if (kind == QLatin1String("handshake") || kind == QLatin1String("silent")
                   || kind == QLatin1String("drops")) {
            port = kind == QLatin1String("handshake") ? closingServer.serverPort()
                : kind == QLatin1String("silent")     ? silentServer.serverPort()
                                                      : droppingBroker.serverPort();
            fillLogin(window, QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("demo"), QStringLiteral("demo"));
        } else if (kind == QLatin1String("dies")) {
            QVERIFY2(dyingBroker.start(twoUserConfig(2)), qPrintable(dyingBroker.errorText()));
            fillLogin(window, brokerServer(dyingBroker), QStringLiteral("demo"), QStringLiteral("demo"));
            // The user is still choosing when the broker goes.
            answerer.setAnswer([&dyingBroker](QWidget *dialog) {
                if (qobject_cast<ListDialog *>(dialog))
                    dyingBroker.stop();
                else
                    acceptCertificateOnce(dialog);
            });
        } else {
            const QString user = kind == QLatin1String("blocked") ? QStringLiteral("blocked") : QStringLiteral("demo");
            const QString password = kind == QLatin1String("password") ? QStringLiteral("wrong") : QStringLiteral("demo");
            fillLogin(window, brokerServer(broker), user, password);
        }
        if (message.contains(QLatin1String("%1")))
            message = message.arg(port);

        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        const auto boxes = [&answerer] {
            QStringList texts;
            for (const ModalAnswerer::Seen &seen : answerer.seen()) {
                if (seen.className == QLatin1String("QMessageBox"))
                    texts << seen.text;
            }
            return texts;
        };
        QTRY_VERIFY_WITH_TIMEOUT(!boxes().isEmpty(), TestEnvironment::timeout(30000));
        QTRY_VERIFY_WITH_TIMEOUT(isIdle(window), TestEnvironment::timeout(30000));
        QCOMPARE(boxes().size(), 1);
        QVERIFY2(boxes().first().startsWith(message), qPrintable(boxes().first()));
        QVERIFY(window.isVisible());
        QVERIFY(!window.session()->isConnected());
        QVERIFY(!QApplication::activeModalWidget());
        // Nothing was sent for a VM after the broker had gone.
        if (kind == QLatin1String("dies"))
            QVERIFY(!dyingBroker.log().contains(QStringLiteral("connect_to_vm")));
        // What the user typed is kept.
        QCOMPARE(QSettings().value(QStringLiteral("Connection/username")).toString(),
                 kind == QLatin1String("blocked") ? QStringLiteral("blocked") : QStringLiteral("demo"));

        // The same window connects again.
        QVERIFY(LoginForm::connectsAgain(&window, window.session(), brokerServer(broker)));
    }

    // The VM is up but the local display cannot start: the X server error box, the idle look.
    void displayThatCannotStart()
    {
        const QJsonObject config = DemoBrokerProcess::agentVmConfig(QStringLiteral("running"), QStringLiteral(""));
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(config), qPrintable(broker.errorText()));

        MainWindow window;
        window.show();
        fillLogin(window, brokerServer(broker), QStringLiteral("demo"), QStringLiteral("demo"));
        ModalAnswerer answerer(acceptCertificateOnce);

        // No X server program can be found from here on.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_environment.home()));
        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        const auto sawErrorBox = [&answerer] {
            for (const ModalAnswerer::Seen &seen : answerer.seen()) {
                if (seen.className == QLatin1String("QMessageBox"))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(sawErrorBox(), TestEnvironment::timeout(60000));
        qputenv("PATH", path);

        QString text;
        for (const ModalAnswerer::Seen &seen : answerer.seen()) {
            if (seen.className == QLatin1String("QMessageBox"))
                text = seen.text;
        }
        QVERIFY2(text.startsWith(QStringLiteral("X Server error\n")), qPrintable(text));
        QTRY_VERIFY_WITH_TIMEOUT(isIdle(window), TestEnvironment::timeout(30000));
        QVERIFY(window.isVisible());
    }

    void certificateDecisions()
    {
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(twoUserConfig(2)), qPrintable(broker.errorText()));
        MainWindow window;
        window.show();
        fillLogin(window, brokerServer(broker), QStringLiteral("demo"), QStringLiteral("demo"));
        QSignalSpy terminated(window.session(), &ZELClient::connectionTerminated);
        QSignalSpy lists(window.session(), &ZELClient::vmListReceived);

        // Refused: the session ends without an error box.
        {
            ModalAnswerer answerer(ModalAnswerer::clickButton(QStringLiteral("Cancel")));
            QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(terminated.count() == 1, TestEnvironment::timeout(30000));
            QCOMPARE(answerer.count(), 1);
            QCOMPARE(answerer.seen().first().className, QStringLiteral("SSLErrorDialog"));
            QCOMPARE(lists.count(), 0);
            QTRY_VERIFY(isIdle(window));
        }
        // Accepted for good: stored, and the next connection does not ask again.
        {
            ModalAnswerer answerer([](QWidget *dialog) {
                if (qobject_cast<SSLErrorDialog *>(dialog))
                    ModalAnswerer::clickButton(QStringLiteral("Accept permanently"))(dialog);
                else
                    ModalAnswerer::rejectDialog(dialog);
            });
            QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(terminated.count() == 2, TestEnvironment::timeout(30000));
            QCOMPARE(lists.count(), 1);
            QCOMPARE(answerer.seen().first().className, QStringLiteral("SSLErrorDialog"));
        }
        QSettings settings;
        QCOMPARE(settings.beginReadArray(QStringLiteral("SSL/AcceptedCertificates")), 1);
        settings.endArray();
        {
            ModalAnswerer answerer;
            QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(terminated.count() == 3, TestEnvironment::timeout(30000));
            QCOMPARE(lists.count(), 2);
            QCOMPARE(answerer.count(), 1);
            QCOMPARE(answerer.seen().first().className, QStringLiteral("ListDialog"));
        }
    }

    // The user reads the certificate question for longer than the connect bound: accepted then,
    // the session goes on to the VM list; no time-out, one end of the session.
    void certificateQuestionHasNoClock()
    {
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(twoUserConfig(2)), qPrintable(broker.errorText()));
        MainWindow window;
        // Short, yet long enough for the question to come up within it on a busy machine.
        const int bound = TestEnvironment::timeout(2000);
        window.session()->setConnectTimeout(bound);
        window.show();
        fillLogin(window, brokerServer(broker), QStringLiteral("demo"), QStringLiteral("demo"));
        QSignalSpy terminated(window.session(), &ZELClient::connectionTerminated);
        QSignalSpy errors(window.session(), &ZELClient::connectionError);
        QSignalSpy lists(window.session(), &ZELClient::vmListReceived);
        // Started after the session's bound and running longer: once it has fired, so would have
        // the session's.
        QTimer boundPassed;
        boundPassed.setSingleShot(true);
        ModalAnswerer answerer([&](QWidget *dialog) {
            if (qobject_cast<SSLErrorDialog *>(dialog)) {
                QTRY_VERIFY_WITH_TIMEOUT(!boundPassed.isActive(), TestEnvironment::timeout(10000));
                ModalAnswerer::clickButton(QStringLiteral("Accept temporarily"))(dialog);
            } else {
                ModalAnswerer::rejectDialog(dialog);
            }
        });
        LoginForm::connect(&window);
        boundPassed.start(bound + 200);
        QTRY_VERIFY_WITH_TIMEOUT(terminated.count() == 1, TestEnvironment::timeout(30000));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(lists.count(), 1);
        QCOMPARE(answerer.count(), 2);
        QCOMPARE(answerer.seen().at(0).className, QStringLiteral("SSLErrorDialog"));
        QCOMPARE(answerer.seen().at(1).className, QStringLiteral("ListDialog"));
        QTRY_VERIFY(isIdle(window));
        QCOMPARE(terminated.count(), 1);
    }

    void oneVmConnectsAtOnceAndRestartStopsItFirst()
    {
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(twoUserConfig(1)), qPrintable(broker.errorText()));
        MainWindow window;
        window.show();
        fillLogin(window, brokerServer(broker), QStringLiteral("demo"), QStringLiteral("demo"));
        child<QCheckBox>(window, "restartSession")->setChecked(true);
        ModalAnswerer answerer(acceptCertificateOnce);
        QSignalSpy poweredDown(window.session(), &ZELClient::vmPoweredDown);

        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains(QStringLiteral("/zel/connect_to_vm")),
                                 TestEnvironment::timeout(30000));
        QCOMPARE(poweredDown.count(), 1);
        QCOMPARE(poweredDown.first().first().toInt(), 10);
        QVERIFY(!child<QCheckBox>(window, "restartSession")->isChecked());
        const QString log = broker.log();
        QVERIFY(log.indexOf(QStringLiteral("/zel/stop_vm")) < log.indexOf(QStringLiteral("/zel/connect_to_vm")));
        for (const ModalAnswerer::Seen &seen : answerer.seen())
            QVERIFY2(seen.className != QLatin1String("ListDialog"), "one VM must not bring up the picker");

        QSignalSpy terminated(window.session(), &ZELClient::connectionTerminated);
        QTest::mouseClick(child<QPushButton>(window, "cancelButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(isIdle(window), TestEnvironment::timeout(30000));
    }

    // Password, second factor and the value of a chosen environment variable all reach the
    // broker; none of them reaches the log.
    void secretsNeverInTheLog()
    {
        const QString password = QStringLiteral("Pa55-geheim");
        const QString secondFactor = QStringLiteral("734921");
        const QByteArray variableValue = "token-value-5f2c9a";
        qputenv("ZEL_TEST_TICKET", variableValue);
        ChosenVariables::store({QStringLiteral("ZEL_TEST_TICKET")});
        QJsonObject config = twoUserConfig(2);
        config[QStringLiteral("users")] = QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("carol")},
                                                                 {QStringLiteral("password"), password},
                                                                 {QStringLiteral("secondFactor"), secondFactor}}};
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(config), qPrintable(broker.errorText()));

        LogCapture::install();
        LogCapture::clear();
        MainWindow window;
        window.show();
        fillLogin(window, brokerServer(broker), QStringLiteral("carol"), password);
        child<QCheckBox>(window, "enableTwoFactorAuthCheck")->setChecked(true);
        child<QLineEdit>(window, "secondFactor")->setText(secondFactor);
        ModalAnswerer answerer(acceptCertificateOnce);
        QSignalSpy lists(window.session(), &ZELClient::vmListReceived);
        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(lists.count() == 1, TestEnvironment::timeout(30000));
        QTRY_VERIFY_WITH_TIMEOUT(isIdle(window), TestEnvironment::timeout(30000));
        window.close();
        qunsetenv("ZEL_TEST_TICKET");

        const QString log = LogCapture::lines().join(QLatin1Char('\n'));
        const QString authHeader = QStringLiteral("Auth-") + QString::fromLatin1(QByteArray("ZEL_TEST_TICKET").toHex());
        QVERIFY2(log.contains(authHeader + QStringLiteral(": ********")), qPrintable(log));
        const QStringList secrets{password, secondFactor, QString::fromLatin1(variableValue),
                                  QString::fromLatin1(variableValue.toBase64()),
                                  QString::fromLatin1(("carol:" + password + secondFactor).toUtf8().toBase64())};
        for (const QString &secret : secrets)
            QVERIFY2(!log.contains(secret), qPrintable(secret));
    }

    // The settings may hold the password: readable by the user alone after every save, also
    // when an earlier version left them readable by others.
    void settingsArePrivate_data()
    {
        QTest::addColumn<bool>("existedReadable");
        QTest::newRow("new settings") << false;
        QTest::newRow("settings readable by others") << true;
    }

    void settingsArePrivate()
    {
        QFETCH(bool, existedReadable);
        const QString fileName = QSettings().fileName();
        QFile::remove(fileName);
        if (existedReadable) {
            QSettings().setValue(QStringLiteral("Connection/username"), QStringLiteral("old"));
            QVERIFY(QFile::setPermissions(fileName, QFile::permissions(fileName) | QFile::ReadGroup | QFile::ReadOther));
        }
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
            | QFile::WriteOther | QFile::ExeOther;
        for (int save = 0; save < 2; ++save) {
            MainWindow window;
            fillLogin(window, QStringLiteral("broker.example"), QStringLiteral("alice"), QStringLiteral("secret"));
            child<QCheckBox>(window, "rememberPasswordCheck")->setChecked(true);
            window.close();
            QCOMPARE(QFile::permissions(fileName) & others, QFile::Permissions());
            QVERIFY(QFile::permissions(fileName) & QFile::ReadOwner);
            QCOMPARE(QSettings().value(QStringLiteral("Connection/username")).toString(), QStringLiteral("alice"));
        }
    }

    void settingsRoundTrip()
    {
        {
            MainWindow window;
            fillLogin(window, QStringLiteral("broker.example"), QStringLiteral("alice"), QStringLiteral("pässword"));
            child<QCheckBox>(window, "rememberPasswordCheck")->setChecked(true);
            child<QCheckBox>(window, "enableAudioCheck")->setChecked(true);
            child<QCheckBox>(window, "enableTwoFactorAuthCheck")->setChecked(true);
            child<QComboBox>(window, "connectionTypeComboBox")->setCurrentIndex(4);
            child<QCheckBox>(window, "showBandwidthGraphCheck")->setChecked(true);
            window.close();
        }
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("Connection/host")).toString(), QStringLiteral("broker.example"));
        QCOMPARE(settings.value(QStringLiteral("Connection/port")).toString(), QStringLiteral("8443"));
        // No keyring answers here: the settings keep the password, for this server and user.
        QCOMPARE(settings.beginReadArray(QStringLiteral("Connection/remembered_passwords")), 1);
        settings.setArrayIndex(0);
        QCOMPARE(settings.value(QStringLiteral("host")).toString(), QStringLiteral("broker.example"));
        QCOMPARE(settings.value(QStringLiteral("user")).toString(), QStringLiteral("alice"));
        QCOMPARE(settings.value(QStringLiteral("password")).toByteArray(), QStringLiteral("pässword").toUtf8().toBase64());
        settings.endArray();
        QVERIFY(settings.value(QStringLiteral("UI/settingsTabVisible")).toBool());

        MainWindow window;
        QCOMPARE(child<QLineEdit>(window, "serverLineEdit")->text(), QStringLiteral("broker.example:8443"));
        QCOMPARE(child<QLineEdit>(window, "username")->text(), QStringLiteral("alice"));
        QCOMPARE(child<QLineEdit>(window, "password")->text(), QStringLiteral("pässword"));
        QVERIFY(child<QCheckBox>(window, "enableAudioCheck")->isChecked());
        QVERIFY(child<QCheckBox>(window, "enableTwoFactorAuthCheck")->isChecked());
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->currentData().toInt(), 4);
        QVERIFY(child<QCheckBox>(window, "showBandwidthGraphCheck")->isChecked());

        // Not remembered: the stored password is emptied; an empty server keeps host and port.
        child<QCheckBox>(window, "rememberPasswordCheck")->setChecked(false);
        child<QLineEdit>(window, "serverLineEdit")->clear();
        window.close();
        QCOMPARE(settings.beginReadArray(QStringLiteral("Connection/remembered_passwords")), 0);
        settings.endArray();
        QCOMPARE(settings.value(QStringLiteral("Connection/host")).toString(), QStringLiteral("broker.example"));
        MainWindow again;
        QVERIFY(child<QLineEdit>(again, "password")->text().isEmpty());
    }

    void storedSpeed_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("selected");
        QTest::newRow("missing") << QVariant() << 2;
        QTest::newRow("wan") << QVariant(3) << 3;
        QTest::newRow("no such choice") << QVariant(9) << 5;
    }

    void storedSpeed()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, selected);
        if (stored.isValid())
            QSettings().setValue(QStringLiteral("Connection/speed"), stored);
        MainWindow window;
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->currentData().toInt(), selected);
    }

    void uiSwitchesHideParts()
    {
        QSettings().setValue(QStringLiteral("UI/settingsTabVisible"), false);
        QSettings().setValue(QStringLiteral("UI/restartSessionVisible"), false);
        MainWindow window;
        window.show();
        auto *tabs = child<QTabWidget>(window, "mainTabWidget");
        QVERIFY(!tabs->isTabVisible(tabs->indexOf(child<QWidget>(window, "settingsTab"))));
        QVERIFY(tabs->isTabVisible(tabs->indexOf(child<QWidget>(window, "versionTab"))));
        QVERIFY(!child<QCheckBox>(window, "restartSession")->isVisible());
    }

    void commandLineFillsTheForm_data()
    {
        QTest::addColumn<QString>("storedServer");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("server");
        QTest::newRow("host and port") << "" << "h" << 9000 << "h:9000";
        QTest::newRow("host alone") << "" << "h" << 8443 << "h";
        QTest::newRow("stored host keeps its port") << "h:9443" << "h" << 8443 << "h:9443";
        QTest::newRow("other host") << "h:9443" << "other" << 8443 << "other";
        QTest::newRow("no host keeps the stored server") << "h:9443" << "" << 8443 << "h:9443";
    }

    void commandLineFillsTheForm()
    {
        QFETCH(QString, storedServer);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, server);
        if (!storedServer.isEmpty()) {
            QSettings().setValue(QStringLiteral("Connection/host"), storedServer.section(QLatin1Char(':'), 0, 0));
            QSettings().setValue(QStringLiteral("Connection/port"), storedServer.section(QLatin1Char(':'), 1));
        }
        MainWindow window;
        ZELConnectionParameters parameters;
        parameters.setHost(host);
        parameters.setPort(static_cast<unsigned short>(port));
        parameters.setUsername(QStringLiteral("u"));
        parameters.setPassword(QStringLiteral("p"));
        parameters.setConnectionSpeed(ZELConnectionParameters::LAN);
        window.setConnectionParms(parameters);
        QCOMPARE(child<QLineEdit>(window, "serverLineEdit")->text(), server);
        QCOMPARE(child<QLineEdit>(window, "username")->text(), QStringLiteral("u"));
        QCOMPARE(child<QLineEdit>(window, "password")->text(), QStringLiteral("p"));
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->currentData().toInt(), 4);
    }

    void loaderSpeedDoesNotReplaceTheDefault()
    {
        // The stored-settings loader gives modem for a store without a speed: the form keeps ADSL.
        MainWindow window;
        window.setConnectionParms(ZELConnectionParameters());
        ZELConnectionParameters fromLoader;
        fromLoader.setConnectionSpeed(ZELConnectionParameters::Modem);
        window.setConnectionParms(fromLoader);
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->currentData().toInt(), 2);
    }

    void cancelledFolderDialogAddsNothing()
    {
        MainWindow window;
        window.show();
        child<QCheckBox>(window, "enableSharedFoldersCheck")->click();
        ModalAnswerer answerer;
        child<QPushButton>(window, "addSharedFolderButton")->click();
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(child<QListView>(window, "sharedFoldersList")->model()->rowCount(), 0);
        window.close();
        QVERIFY(QSettings().value(QStringLiteral("Connection/shared_folders")).toStringList().isEmpty());
    }

    // The cursor waits in the first field still to fill in.
    void focusRules_data()
    {
        QTest::addColumn<QString>("storedUser");
        QTest::addColumn<QString>("commandLineUser");
        QTest::addColumn<QString>("focused");
        QTest::newRow("nothing known") << "" << "" << "username";
        QTest::newRow("stored user name") << "alice" << "" << "password";
        QTest::newRow("user name on the command line") << "" << "bob" << "password";
    }

    void focusRules()
    {
        QFETCH(QString, storedUser);
        QFETCH(QString, commandLineUser);
        QFETCH(QString, focused);
        QSettings().setValue(QStringLiteral("Connection/username"), storedUser);
        MainWindow window;
        ZELConnectionParameters parameters;
        parameters.setUsername(commandLineUser);
        window.setConnectionParms(parameters);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTRY_COMPARE(window.focusWidget()->objectName(), focused);
    }

    void wrongPasswordIsReadyToBeTypedAgain()
    {
        MainWindow window;
        fillLogin(window, QStringLiteral("h"), QStringLiteral("alice"), QStringLiteral("secret"));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        child<QTabWidget>(window, "mainTabWidget")->setCurrentWidget(child<QWidget>(window, "settingsTab"));
        ModalAnswerer answerer;
        emit window.session()->connectionError(ZELClient::AuthenticationError, QStringLiteral("refused"));
        QCOMPARE(answerer.count(), 1);
        auto *password = child<QLineEdit>(window, "password");
        QTRY_COMPARE(window.focusWidget(), password);
        QCOMPARE(password->selectedText(), QStringLiteral("secret"));
    }

    // Return and the keypad's Enter both connect from the login form's fields.
    void keysThatConnect_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("return") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("keypad enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }

    void keysThatConnect()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        ModalAnswerer answerer;
        QTest::keyClick(child<QLineEdit>(window, "password"), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        // With no server set, the attempt ends in the box that asks for one.
        QCOMPARE(answerer.count(), 1);
        QVERIFY(isIdle(window));
    }

    // Return connects from the fields a connection is made of and from Connect, nowhere else;
    // Escape cancels an attempt under way and does nothing otherwise.
    void keys_data()
    {
        QTest::addColumn<QString>("widget");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("attemptBefore");
        QTest::addColumn<bool>("attemptAfter");
        QTest::newRow("return in the user name") << "username" << int(Qt::Key_Return) << false << true;
        QTest::newRow("enter in the second factor") << "secondFactor" << int(Qt::Key_Enter) << false << true;
        QTest::newRow("return in the server field") << "serverLineEdit" << int(Qt::Key_Return) << false << true;
        QTest::newRow("return on Connect") << "connectButton" << int(Qt::Key_Return) << false << true;
        QTest::newRow("return on Add") << "addSharedFolderButton" << int(Qt::Key_Return) << false << false;
        QTest::newRow("return in the folder list") << "sharedFoldersList" << int(Qt::Key_Return) << false << false;
        QTest::newRow("return in the variable list") << "EnvVarList" << int(Qt::Key_Return) << false << false;
        QTest::newRow("return on the audio box") << "enableAudioCheck" << int(Qt::Key_Return) << false << false;
        QTest::newRow("escape during an attempt") << "EnvVarList" << int(Qt::Key_Escape) << true << false;
        QTest::newRow("escape on Cancel") << "cancelButton" << int(Qt::Key_Escape) << true << false;
        QTest::newRow("escape while idle") << "username" << int(Qt::Key_Escape) << false << false;
        QTest::newRow("return during an attempt") << "cancelButton" << int(Qt::Key_Return) << true << true;
    }

    void keys()
    {
        QFETCH(QString, widget);
        QFETCH(int, key);
        QFETCH(bool, attemptBefore);
        QFETCH(bool, attemptAfter);
        // Takes the connection and never answers TLS: an attempt stays under way.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        MainWindow window;
        fillLogin(window, QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()), QStringLiteral("alice"),
                  QStringLiteral("secret"));
        child<QCheckBox>(window, "enableTwoFactorAuthCheck")->setChecked(true);
        child<QCheckBox>(window, "enableSharedFoldersCheck")->click();
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        ModalAnswerer answerer;
        QSignalSpy terminated(window.session(), &ZELClient::connectionTerminated);
        if (attemptBefore) {
            LoginForm::connect(&window);
            QVERIFY(!isIdle(window));
        }

        auto *target = window.findChild<QWidget *>(widget);
        QVERIFY(target);
        // Brought to the front as the user would: its tabs chosen, the cursor in it.
        for (QWidget *page = target; page->parentWidget(); page = page->parentWidget()) {
            if (auto *pages = qobject_cast<QStackedWidget *>(page->parentWidget()))
                pages->setCurrentWidget(page);
        }
        target->setFocus();
        QTRY_COMPARE(window.focusWidget(), target);
        QTest::keyClick(target, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);

        QCOMPARE(!isIdle(window), attemptAfter);
        QCOMPARE(terminated.count(), int(attemptBefore && !attemptAfter));
        QCOMPARE(answerer.count(), 0);
        if (attemptAfter) {
            QTest::mouseClick(child<QPushButton>(window, "cancelButton"), Qt::LeftButton);
            QTRY_VERIFY(isIdle(window));
        }
    }

    // A refused login is ready to be tried again: a mistyped password selected, a second
    // factor (good for one login at most) emptied for the next code.
    void refusedLogin_data()
    {
        QTest::addColumn<bool>("twoFactor");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("focused");
        QTest::addColumn<QString>("selected");
        QTest::newRow("wrong password") << false << "wrong" << "password" << "wrong";
        QTest::newRow("wrong second factor") << true << "demo" << "secondFactor" << "";
    }

    void refusedLogin()
    {
        QFETCH(bool, twoFactor);
        QFETCH(QString, password);
        QFETCH(QString, focused);
        QFETCH(QString, selected);
        QJsonObject config = DemoBrokerProcess::simpleConfig();
        config[QStringLiteral("users")] = QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                                                 {QStringLiteral("password"), QStringLiteral("demo")},
                                                                 {QStringLiteral("secondFactor"), QStringLiteral("424242")}}};
        DemoBrokerProcess broker;
        QVERIFY2(broker.start(config), qPrintable(broker.errorText()));
        MainWindow window;
        fillLogin(window, brokerServer(broker), QStringLiteral("demo"), password);
        child<QCheckBox>(window, "enableTwoFactorAuthCheck")->setChecked(twoFactor);
        child<QLineEdit>(window, "secondFactor")->setText(QStringLiteral("111111"));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        ModalAnswerer answerer(acceptCertificateOnce);
        QSignalSpy errors(window.session(), &ZELClient::connectionError);
        LoginForm::connect(&window);
        QTRY_VERIFY_WITH_TIMEOUT(errors.count() == 1 && isIdle(window), TestEnvironment::timeout(30000));
        QCOMPARE(errors.first().first().value<ZELClient::ConnectionError>(), ZELClient::AuthenticationError);

        QTRY_COMPARE(window.focusWidget()->objectName(), focused);
        QCOMPARE(child<QLineEdit>(window, "password")->text(), password);
        QCOMPARE(child<QLineEdit>(window, "secondFactor")->text().isEmpty(), twoFactor);
        QCOMPARE(qobject_cast<QLineEdit *>(window.focusWidget())->selectedText(), selected);
    }

    // Blanks are dropped; a port that is no number from 1 to 65535 is refused before the
    // settings are stored or the broker is asked.
    void serverField_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("blanks around the host") << "  127.0.0.1  " << true << "127.0.0.1" << 8443;
        QTest::newRow("blanks around both parts") << " 127.0.0.1 : %1 " << true << "127.0.0.1" << -1;
        QTest::newRow("highest port") << "127.0.0.1:65535" << true << "127.0.0.1" << 65535;
        QTest::newRow("port 0") << "127.0.0.1:0" << false << "" << 0;
        QTest::newRow("port too large") << "127.0.0.1:65536" << false << "" << 0;
        QTest::newRow("negative port") << "127.0.0.1:-1" << false << "" << 0;
        QTest::newRow("port is a word") << "127.0.0.1:https" << false << "" << 0;
        QTest::newRow("two ports") << "127.0.0.1:80:81" << false << "" << 0;
        QTest::newRow("port without host") << " :8443" << false << "" << 0;
    }

    void serverField()
    {
        QFETCH(QString, server);
        QFETCH(bool, accepted);
        QFETCH(QString, host);
        QFETCH(int, port);
        RefusingPort refusing;
        if (server.contains(QLatin1String("%1"))) {
            port = refusing.port();
            server = server.arg(port);
        }
        QSettings().setValue(QStringLiteral("Connection/host"), QStringLiteral("stored.example"));
        QSettings().setValue(QStringLiteral("Connection/port"), QStringLiteral("7000"));
        MainWindow window;
        window.show();
        fillLogin(window, server, QStringLiteral("u"), QStringLiteral("p"));
        ModalAnswerer answerer;
        QSignalSpy socketErrors(window.session(), &ZELClient::socketError);

        QTest::mouseClick(child<QPushButton>(window, "connectButton"), Qt::LeftButton);
        QSettings settings;
        if (!accepted) {
            QCOMPARE(answerer.count(), 1);
            QCOMPARE(answerer.seen().first().className, QStringLiteral("QMessageBox"));
            QVERIFY(isIdle(window));
            QVERIFY(!window.session()->getBackend());
            QCOMPARE(settings.value(QStringLiteral("Connection/host")).toString(), QStringLiteral("stored.example"));
            QCOMPARE(settings.value(QStringLiteral("Connection/port")).toString(), QStringLiteral("7000"));
            return;
        }
        QCOMPARE(window.session()->getParameters().host(), host);
        QCOMPARE(int(window.session()->getParameters().port()), port);
        QCOMPARE(settings.value(QStringLiteral("Connection/host")).toString(), host);
        QCOMPARE(settings.value(QStringLiteral("Connection/port")).toInt(), port);
        // Nothing listens there (or something that is no broker): the attempt ends.
        QTRY_VERIFY_WITH_TIMEOUT(isIdle(window), TestEnvironment::timeout(30000));
    }

    // The window opens where and as large as the user left it, and on the screen.
    void rememberedGeometry_data()
    {
        QTest::addColumn<QPoint>("position");
        QTest::addColumn<bool>("kept");
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QTest::newRow("moved and resized") << screen.topLeft() + QPoint(20, 30) << true;
        QTest::newRow("off the screen") << screen.bottomRight() + QPoint(2000, 2000) << false;
    }

    void rememberedGeometry()
    {
        QFETCH(QPoint, position);
        QFETCH(bool, kept);
        QRect left;
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            left = QRect(position, window.minimumSizeHint() + QSize(24, 8));
            window.setGeometry(left);
            window.setGeometry(left);
            QTRY_COMPARE(window.geometry(), left);
            window.close();
        }
        MainWindow again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        if (kept)
            QCOMPARE(again.geometry(), left);
        else
            QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().intersects(again.frameGeometry()));
        QCOMPARE(again.size(), left.size());
    }

    // Options given on the command line win over the stored choices, also where they equal
    // a default.
    void commandLineWinsOverTheStore_data()
    {
        QTest::addColumn<QString>("storedServer");
        QTest::addColumn<QVariant>("storedSpeed");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("speed");
        QTest::newRow("usual port over a stored one")
            << "h:9443" << QVariant() << QStringList{"--host", "h", "--port", "8443"} << "h:8443" << 2;
        QTest::newRow("port alone") << "h:9443" << QVariant() << QStringList{"--port", "8443"} << "h:8443" << 2;
        QTest::newRow("modem over the default") << "" << QVariant() << QStringList{"--connection-type", "modem"} << ""
                                                << 0;
        QTest::newRow("modem over a stored speed")
            << "" << QVariant(4) << QStringList{"--connection-type", "modem"} << "" << 0;
        QTest::newRow("nothing given keeps the store") << "h:9443" << QVariant(3) << QStringList{} << "h:9443" << 3;
    }

    void commandLineWinsOverTheStore()
    {
        QFETCH(QString, storedServer);
        QFETCH(QVariant, storedSpeed);
        QFETCH(QStringList, arguments);
        QFETCH(QString, server);
        QFETCH(int, speed);
        QSettings settings;
        if (!storedServer.isEmpty()) {
            settings.setValue(QStringLiteral("Connection/host"), storedServer.section(QLatin1Char(':'), 0, 0));
            settings.setValue(QStringLiteral("Connection/port"), storedServer.section(QLatin1Char(':'), 1));
        }
        if (storedSpeed.isValid())
            settings.setValue(QStringLiteral("Connection/speed"), storedSpeed);

        // As the program starts: the stored parameters, the command line on top, the window.
        ZELConnectionParameters parameters;
        parameters.setHost(settings.value(QStringLiteral("Connection/host")).toString());
        parameters.setConnectionSpeed(
            ZELConnectionParameters::ConnectionSpeed(settings.value(QStringLiteral("Connection/speed"), 0).toInt()));
        NXErrorCommandData nx;
        CommandLineParser::MiscParameters misc;
        QCOMPARE(CommandLineParser::instance().parse(QStringList{"ZEL_Client"} + arguments, parameters, nx, misc),
                 CommandLineParser::Ok);
        MainWindow window;
        window.setGivenOnCommandLine(misc.portGiven, misc.connectionTypeGiven);
        window.setConnectionParms(parameters);
        QCOMPARE(child<QLineEdit>(window, "serverLineEdit")->text(), server);
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->currentData().toInt(), speed);
    }

    // No VMs: the user is told so instead of seeing an empty choice; a picker that was used
    // does not stay behind.
    void vmListOutcomes_data()
    {
        QTest::addColumn<int>("vmCount");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << 0 << "QMessageBox";
        QTest::newRow("two") << 2 << "ListDialog";
    }

    void vmListOutcomes()
    {
        QFETCH(int, vmCount);
        QFETCH(QString, shown);
        MainWindow window;
        window.show();
        QList<ZELClient::VMInfo> vms;
        for (int i = 1; i <= vmCount; ++i) {
            ZELClient::VMInfo vm;
            vm.id = i;
            vm.name = QStringLiteral("VM %1").arg(i);
            vms << vm;
        }
        ModalAnswerer answerer;
        emit window.session()->vmListReceived(vms);
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.seen().first().className, shown);
        QTRY_VERIFY(window.findChildren<ListDialog *>().isEmpty());
    }

    void spanishForm()
    {
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(ZEL_BINARY_DIR "/translations/ZEL_Client_es.qm")));
        QCoreApplication::installTranslator(&translator);
        MainWindow window;
        window.show();
        ModalAnswerer answerer;
        emit window.session()->connectionError(ZELClient::ServerBlocked, QStringLiteral("503"));
        emit window.session()->connectionError(ZELClient::AuthenticationError, QStringLiteral("401"));
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(child<QPushButton>(window, "connectButton")->text(), QStringLiteral("Conectar"));
        QCOMPARE(child<QLabel>(window, "usernameLabel")->text(), QStringLiteral("Nombre de usuario"));
        QCOMPARE(child<QComboBox>(window, "connectionTypeComboBox")->itemText(0), QStringLiteral("Módem"));
        QCOMPARE(answerer.seen().value(0).text, QStringLiteral("Servidor bloqueado\n503"));
        QVERIFY2(answerer.seen().value(1).text.endsWith(QStringLiteral("\nNombre de usuario o contraseña incorrecta.")),
                 qPrintable(answerer.seen().value(1).text));
    }

private:
    TestEnvironment m_environment;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
