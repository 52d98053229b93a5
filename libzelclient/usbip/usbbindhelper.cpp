#include "usbbindhelper.h"

#include "usbdevice.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>

namespace {

const char InstalledUsbHelper[] = "/usr/lib/zel/bin/zel-client-slaveclient-usbip";
const char UsbHelperName[] = "zel-client-slaveclient-usbip";
const char Pkexec[] = "/usr/bin/pkexec";

// The helper's exit codes (see its usage) and pkexec's own.
enum UsbHelperExit { ExitDone = 0, ExitRefused = 1, ExitUsage = 2, ExitGivenBack = 3, ExitStillBound = 4,
                     ExitDismissed = 126, ExitNotAuthorized = 127 };

QString lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last().trimmed());
}

} // namespace

UsbBindHelper::UsbBindHelper(QObject *parent)
    : QObject(parent)
    , m_command(defaultCommand())
{
}

UsbBindHelper::~UsbBindHelper()
{
    // A bind that still runs is let finish: the device it lends is given back by whoever held
    // this helper, or at the next start.
    letGo();
}

void UsbBindHelper::letGo()
{
    QProcess *process = m_process;
    m_process = nullptr;
    if (!process)
        return;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    process->setParent(nullptr);
    connect(process, &QProcess::stateChanged, process, [process](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            process->deleteLater();
    });
}

QString UsbBindHelper::installedProgram()
{
    return QString::fromLatin1(InstalledUsbHelper);
}

QStringList UsbBindHelper::defaultCommand()
{
    if (runsAsRoot()) {
        // Root trusts the program's own folder as much as the program: in a build, the helper
        // built beside it.
        const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(UsbHelperName);
        return {QFileInfo(beside).isExecutable() ? beside : installedProgram()};
    }
    // pkexec runs only what a polkit action names, and the package's actions name the installed
    // helper. Its own terminal agent stays off: a question on a terminal nobody watches would
    // leave the VM waiting.
    return {QString::fromLatin1(Pkexec), QStringLiteral("--disable-internal-agent"), installedProgram()};
}

QStringList UsbBindHelper::requiredPrograms()
{
    QStringList programs = defaultCommand();
    programs.removeAll(QStringLiteral("--disable-internal-agent"));
    return programs;
}

QString UsbBindHelper::identityOf(const USBDevice &device)
{
    QString identity = QStringLiteral("%1:%2")
                           .arg(device.vendorId(), 4, 16, QLatin1Char('0'))
                           .arg(device.productId(), 4, 16, QLatin1Char('0'));
    if (!device.serial().isEmpty())
        identity += QLatin1Char(':') + device.serial();
    return identity;
}

bool UsbBindHelper::mayLeaveDeviceBound(Outcome outcome)
{
    return outcome == Done || outcome == FailedStillBound;
}

bool UsbBindHelper::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QProcess *UsbBindHelper::start(const QStringList &arguments, int socket)
{
    QProcess *process = createProcess(socket);
    // The helper needs nothing of the client's environment, and pkexec would drop it anyway.
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(QStringLiteral("/"));
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (socket < 0)
        process->setStandardInputFile(QProcess::nullDevice());
    qInfo().noquote() << "Will run" << m_command.join(QLatin1Char(' ')) << arguments.join(QLatin1Char(' '));
    process->start(m_command.first(), m_command.mid(1) + arguments, QIODevice::ReadOnly);
    return process;
}

void UsbBindHelper::startBind(const QString &busId, const QString &identity, int socket)
{
    // The user may be asked for the administrator's password first: no bound.
    run({QStringLiteral("bind"), busId, identity}, socket, 0);
}

void UsbBindHelper::startUnbind(const QString &busId, int timeoutMs)
{
    run({QStringLiteral("unbind"), busId}, -1, timeoutMs);
}

void UsbBindHelper::run(const QStringList &arguments, int socket, int timeoutMs)
{
    letGo();
    m_reason.clear();
    QProcess *process = start(arguments, socket);
    m_process = process;
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, process] { emit finished(outcomeOf(process, true)); });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        // A program that never started emits no finished(); every other error is followed by it.
        if (error == QProcess::FailedToStart)
            emit finished(outcomeOf(process, false));
    });
    if (timeoutMs <= 0)
        return;
    QTimer::singleShot(timeoutMs, this, [this, process, timeoutMs, arguments] {
        if (m_process != process || process->state() == QProcess::NotRunning)
            return;
        m_reason = QStringLiteral("the USB helper did not finish within %1 seconds").arg((timeoutMs + 999) / 1000);
        qWarning().noquote().nospace() << "USB helper " << arguments.join(QLatin1Char(' ')) << ": " << m_reason;
        letGo();
        emit finished(FailedStillBound);
    });
}

UsbBindHelper::Outcome UsbBindHelper::outcomeOf(QProcess *process, bool started)
{
    if (!started) {
        m_reason = QStringLiteral("the USB helper %1 could not be started (%2)")
                       .arg(m_command.first(), process->errorString());
        qWarning().noquote() << "Could not start" << m_command.first() << ":" << process->errorString();
        return NotStarted;
    }
    const QByteArray output = process->readAll();
    const int code = process->exitCode();
    const bool crashed = process->exitStatus() != QProcess::NormalExit;
    logOutput(output, crashed || code != ExitDone);
    if (crashed) {
        m_reason = QStringLiteral("the USB helper ended unexpectedly");
        return FailedStillBound;
    }
    switch (code) {
    case ExitDone:
        return Done;
    case ExitRefused:
    case ExitUsage:
        m_reason = lastLine(output);
        return Refused;
    case ExitGivenBack:
        m_reason = lastLine(output);
        return FailedGivenBack;
    case ExitStillBound:
        m_reason = lastLine(output);
        return FailedStillBound;
    case ExitDismissed:
        m_reason = QStringLiteral("the administrator password was not given");
        return Dismissed;
    case ExitNotAuthorized:
        if (output.contains("No authentication agent found")) {
            m_reason = QStringLiteral("no authentication agent answered: sharing a USB device asks for the "
                                      "administrator password, and no polkit agent runs in this desktop to ask for it");
            return NoAuthenticationAgent;
        }
        m_reason = QStringLiteral("it was not allowed (%1)").arg(lastLine(output));
        return NotAuthorized;
    default:
        m_reason = QStringLiteral("the USB helper ended with code %1").arg(code);
        return FailedStillBound;
    }
}

void UsbBindHelper::logOutput(const QByteArray &output, bool failed)
{
    for (const QByteArray &line : output.trimmed().split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        if (failed)
            qWarning().noquote().nospace() << UsbHelperName << ": " << QString::fromLocal8Bit(line);
        else
            qInfo().noquote().nospace() << UsbHelperName << ": " << QString::fromLocal8Bit(line);
    }
}
