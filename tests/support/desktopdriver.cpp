#include "desktopdriver.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QProcess>
#include <QtTest>

namespace {
// Generous: the first window of a fresh machine waits for font caches and a loaded CPU.
constexpr int WindowTimeoutMs = 30000;
}

QProcessEnvironment DesktopDriver::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("DISPLAY"), m_display);
    return env;
}

QString DesktopDriver::run(const QString &program, const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    if (!process.waitForFinished(TestEnvironment::timeout(10000)))
        process.kill();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString DesktopDriver::visibleWindow(const QString &titlePattern) const
{
    return run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                            QStringLiteral("--name"), titlePattern})
        .split(QLatin1Char('\n'))
        .value(0);
}

QStringList DesktopDriver::visibleWindowsOf(qint64 pid) const
{
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(pid)})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool DesktopDriver::waitForWindow(const QString &titlePattern, int timeoutMs, QString *window) const
{
    QString found;
    const bool shown = QTest::qWaitFor([&] { return !(found = visibleWindow(titlePattern)).isEmpty(); },
                                       TestEnvironment::timeout(timeoutMs));
    if (window)
        *window = found;
    return shown;
}

bool DesktopDriver::waitUntilGone(const QString &titlePattern, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return visibleWindow(titlePattern).isEmpty(); }, TestEnvironment::timeout(timeoutMs));
}

bool DesktopDriver::pressKey(const QString &window, const QString &key) const
{
    QProcess press;
    press.setProcessEnvironment(environment());
    press.start(QStringLiteral("xdotool"),
                {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window, QStringLiteral("key"), key});
    return press.waitForFinished(TestEnvironment::timeout(10000)) && press.exitStatus() == QProcess::NormalExit
        && press.exitCode() == 0;
}

void DesktopDriver::startClient(QProcess *client, quint16 brokerPort) const
{
    client->setProcessEnvironment(environment());
    client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client->start(ProgramRun::clientProgram(),
                  {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                   QString::number(brokerPort), QStringLiteral("--user"), QStringLiteral("demo"),
                   QStringLiteral("--password"), QStringLiteral("demo")});
}

bool DesktopDriver::connectFromLoginWindow(QString *failure) const
{
    QString login;
    if (!waitForWindow(QStringLiteral("^ZEL$"), WindowTimeoutMs, &login)) {
        *failure = QStringLiteral("no login window");
        return false;
    }
    if (!pressKey(login, QStringLiteral("Return"))) {
        *failure = QStringLiteral("could not press Return in the login window");
        return false;
    }
    QString question;
    if (!waitForWindow(QStringLiteral("^Untrusted certificate of "), WindowTimeoutMs, &question)) {
        *failure = QStringLiteral("no certificate question");
        return false;
    }
    // Return would refuse the certificate: accepting it takes its own key.
    if (!pressKey(question, QStringLiteral("alt+t"))) {
        *failure = QStringLiteral("could not accept the certificate");
        return false;
    }
    return true;
}
