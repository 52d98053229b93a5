#include "nxdialog.h"
#include "testenvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace {

QStringList warnings;

void captureWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
}

// Clicks the button with the given text as soon as the dialog's message box is up.
void clickWhenShown(const QString &buttonText, QStringList *shownButtons)
{
    QTimer *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, buttonText, shownButtons] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        QAbstractButton *target = nullptr;
        for (QAbstractButton *button : box->buttons()) {
            const QString text = button->text().remove(QLatin1Char('&'));
            *shownButtons << text;
            if (text == buttonText)
                target = button;
        }
        if (target)
            target->click();
        else
            box->reject();
    });
    poll->start(10);
}

// A process that reports which signal reached it, standing in for the NX proxy.
class SignalWitness
{
public:
    SignalWitness()
    {
        m_process.start(QStringLiteral("/bin/sh"),
                        {QStringLiteral("-c"), QStringLiteral("trap 'echo TERM; exit 0' TERM; trap 'echo HUP; exit 0' "
                                                              "HUP; echo ready; while :; do sleep 1 & wait $!; done")});
        m_process.waitForReadyRead(TestEnvironment::timeout(10000));
        m_process.readAll();
    }
    ~SignalWitness()
    {
        m_process.kill();
        m_process.waitForFinished(TestEnvironment::timeout(5000));
    }
    int pid() const { return int(m_process.processId()); }
    QString signalReceived()
    {
        if (!m_process.waitForFinished(TestEnvironment::timeout(10000)))
            return QString();
        return QString::fromLatin1(m_process.readAll()).trimmed();
    }
    bool stillRunning() { return !m_process.waitForFinished(TestEnvironment::timeout(300)); }

private:
    QProcess m_process;
};

} // namespace

class TestNXDialog : public QObject
{
    Q_OBJECT

private slots:
    void actions_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("signal");
        QTest::newRow("suspend") << "yesnosuspend" << "Suspend" << QStringList{"Yes", "No", "Suspend"} << 1 << "HUP";
        QTest::newRow("yes of three") << "yesnosuspend" << "Yes" << QStringList{"Yes", "No", "Suspend"} << 2 << "TERM";
        QTest::newRow("no of three") << "yesnosuspend" << "No" << QStringList{"Yes", "No", "Suspend"} << 0 << "";
        QTest::newRow("yes") << "yesno" << "Yes" << QStringList{"Yes", "No"} << 2 << "TERM";
        // Notices: acknowledging one only closes it; the session goes on.
        QTest::newRow("ok") << "ok" << "OK" << QStringList{"OK"} << 0 << "";
        QTest::newRow("error") << "error" << "OK" << QStringList{"OK"} << 0 << "";
        QTest::newRow("panic") << "panic" << "OK" << QStringList{"OK"} << 0 << "";
        QTest::newRow("pulldown") << "pulldown" << "OK" << QStringList{"OK"} << 0 << "";
        QTest::newRow("quit") << "quit" << "OK" << QStringList{"OK"} << 0 << "";
    }

    void actions()
    {
        QFETCH(QString, type);
        QFETCH(QString, button);
        QFETCH(QStringList, buttons);
        QFETCH(int, action);
        QFETCH(QString, signal);

        SignalWitness witness;
        NXErrorCommandData request;
        QVERIFY(request.setTypeFromQString(type));
        request.caption = QStringLiteral("NX");
        request.message = QStringLiteral("Really?");
        request.pid = witness.pid();

        QStringList shown;
        clickWhenShown(button, &shown);
        QCOMPARE(NXDialog(request).exec(), action);

        std::sort(shown.begin(), shown.end());
        std::sort(buttons.begin(), buttons.end());
        QCOMPARE(shown, buttons);
        if (signal.isEmpty())
            QVERIFY(witness.stillRunning());
        else
            QCOMPARE(witness.signalReceived(), signal);
    }

    void actionWithoutPidIsOnlyLogged()
    {
        NXErrorCommandData request;
        request.type = NXErrorCommandData::YesNo;
        request.message = QStringLiteral("Quit?");

        QStringList shown;
        clickWhenShown(QStringLiteral("Yes"), &shown);
        warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
        const int action = NXDialog(request).exec();
        qInstallMessageHandler(previous);

        QCOMPARE(action, 2);
        QVERIFY2(warnings.contains(QStringLiteral("Can't execute action without a PID")), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    // kill() reads -1 as "every process we may signal" and 0 as our own group.
    void neverSignalsInitOrProcessGroups_data()
    {
        QTest::addColumn<int>("pid");
        QTest::newRow("init") << 1;
        QTest::newRow("every process") << -1;
        QTest::newRow("a process group") << -int(::getpgrp());
        QTest::newRow("ourselves") << int(::getpid());
    }

    void neverSignalsInitOrProcessGroups()
    {
        QFETCH(int, pid);
        NXErrorCommandData request;
        request.type = NXErrorCommandData::YesNo;
        request.message = QStringLiteral("Bye?");
        request.pid = pid;

        QStringList shown;
        clickWhenShown(QStringLiteral("Yes"), &shown);
        warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
        const int action = NXDialog(request).exec();
        qInstallMessageHandler(previous);

        // Still running, so nothing reached this process; and the refusal is logged.
        QCOMPARE(action, 2);
        QVERIFY2(!warnings.filter(QStringLiteral("Not signalling PID")).isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

private:
    TestEnvironment m_environment;
};

QTEST_MAIN(TestNXDialog)
#include "tst_nxdialog.moc"
