#include "pulseaudio.h"

#include "helpers/pathtools.h"
#include "helpers/privatefiles.h"
#include "helpers/processreaper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {

const int ConnectionRetryMs = 50;
const int KeptErrorLines = 3;
// The server's first answer holds its greeting; it is asked for it by any line.
const char *const GreetingCommand = "hello";

} // namespace

PulseAudio::PulseAudio()
    : QObject(nullptr)
    , m_pulseaudioPath(PathTools::findBin(QStringLiteral("pulseaudio"), QStringList()))
    , m_pulseaudioHome(PathTools::getPulseaudioHome())
    , m_process(new BoundProcess(this))
{
    connect(m_process, &QProcess::started, this, &PulseAudio::processStarted);
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &PulseAudio::processFinished);
    connect(m_process, &QProcess::errorOccurred, this, &PulseAudio::processError);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &PulseAudio::processReadyReadOutput);
    connect(m_process, &QProcess::readyReadStandardError, this, &PulseAudio::processReadyReadError);
    connect(&m_connectionTimer, &QTimer::timeout, this, &PulseAudio::connectionTimerTick);
    // Its error signal too: without it a CLI socket that cannot be reached would leave the
    // caller waiting for a started() that never comes.
    m_socket = createCommandSocket();
    connect(m_socket, &QIODevice::readyRead, this, &PulseAudio::readAnswer);
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &PulseAudio::answerTimedOut);
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] {
        if (m_process->state() == QProcess::NotRunning)
            return;
        qWarning().nospace().noquote() << "pulseaudio did not end within " << StopTimeoutMs << " ms; killing it";
        m_process->kill();
    });
}

PulseAudio::~PulseAudio()
{
    // The owner is going away: the server goes with it, without signals to receivers that may
    // be half destroyed themselves, and without the owner waiting for it.
    m_stopping = true;
    m_connectionTimer.stop();
    m_answerTimer.stop();
    m_commands.clear();
    m_socket->disconnect(this);
    closeCommandSocket();
    ProcessReaper::end(m_process, StopTimeoutMs, m_cleanupAfterEnd);
}

void PulseAudio::start()
{
    qInfo().nospace().noquote() << "Starting pulseaudio";
    if (m_process->state() != QProcess::NotRunning) {
        qWarning().nospace().noquote() << "pulseaudio is running already";
        return;
    }
    m_failureReported = false;
    m_stopReported = false;
    m_stopping = false;
    m_errorLines.clear();
    m_stderrBuffer = LineBuffer();

    if (m_pulseaudioPath.isEmpty()) {
        qCritical().nospace().noquote() << "Cannot start pulseaudio: the pulseaudio program was not found";
        // Reported like every other outcome, after the caller has returned.
        QTimer::singleShot(0, this, [this]() {
            reportFailure(QStringLiteral("The pulseaudio program was not found"));
            reportStopped();
        });
        return;
    }
    if (m_pulseaudioConfig.isEmpty())
        m_pulseaudioConfig = PathTools::getPulseaudioBaseConfig();

    // The command socket and the process id are the user's alone.
    PrivateFiles::makeFolder(m_pulseaudioHome);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    qInfo().nospace().noquote() << "PULSE_RUNTIME_PATH is " << m_pulseaudioHome;
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_pulseaudioHome);
    if (!m_pulseaudioStatePath.isEmpty()) {
        qInfo().nospace().noquote() << "PULSE_STATE_PATH is " << m_pulseaudioStatePath;
        environment.insert(QStringLiteral("PULSE_STATE_PATH"), m_pulseaudioStatePath);
        PrivateFiles::makeFolder(m_pulseaudioStatePath);
    }
    m_process->setProcessEnvironment(environment);

    // No default script, verbose (the output drives this class), our script, never idle out.
    // Whoever reaches the server may not load a module (a module is code run as the user) nor
    // end it.
    const QStringList arguments{QStringLiteral("-n"),
                                QStringLiteral("-v"),
                                QStringLiteral("-F"),
                                m_pulseaudioConfig,
                                QStringLiteral("--exit-idle-time=-1"),
                                QStringLiteral("--disallow-module-loading"),
                                QStringLiteral("--disallow-exit")};
    qInfo().nospace().noquote() << "Starting pulseaudio at " << m_pulseaudioPath << " with args " << arguments;
    m_process->start(m_pulseaudioPath, arguments, QIODevice::ReadWrite);
}

void PulseAudio::activateSocket()
{
    if (!m_connectExisting && m_process->state() != QProcess::Running)
        qWarning().nospace().noquote() << "Not activating socket, process is in state " << m_process->state();
}

void PulseAudio::sendCommand(const QString &command)
{
    if (!commandSocketConnected()) {
        qCritical().nospace().noquote() << "Attempted to send command " << command << " while not connected!";
        // Reported like every other answer, after the caller has returned.
        QMetaObject::invokeMethod(
            this, [this, command] { emit commandFailed(command, QStringLiteral("not connected to the sound server")); },
            Qt::QueuedConnection);
        return;
    }
    m_commands.append(command);
    writeNextCommand();
}

void PulseAudio::writeNextCommand()
{
    if (m_commands.isEmpty() || m_commandWritten)
        return;
    m_commandWritten = true;
    const QString command = m_commands.first();
    qInfo().nospace().noquote() << "Sending command: " << command;
    // The bound is the whole answer's: a server that keeps sending without ever prompting does
    // not extend it.
    m_answerTimer.start(m_commandTimeoutMs);
    const qint64 written = m_socket->write((command + QLatin1Char('\n')).toUtf8());
    qInfo().nospace().noquote() << "Wrote " << written << " bytes";
    // What is already there belongs to this answer.
    if (m_socket->bytesAvailable() > 0 || !m_answer.isEmpty())
        QMetaObject::invokeMethod(this, &PulseAudio::readAnswer, Qt::QueuedConnection);
}

void PulseAudio::readAnswer()
{
    const QByteArray data = m_socket->readAll();
    if (m_commands.isEmpty()) {
        if (!data.isEmpty())
            qInfo().nospace().noquote() << "Dropping what the sound server sent unasked: " << data.left(200);
        return;
    }
    if (!data.isEmpty())
        qInfo().nospace().noquote() << "Data read: " << data.size() << " bytes";
    m_answer += data;
    const QByteArray prompt = m_prompt.toUtf8();
    const int end = m_answer.indexOf(prompt);
    if (end < 0) {
        if (m_answer.size() > m_maxAnswerBytes)
            failCommands(QStringLiteral("the sound server's answer is longer than %1 bytes").arg(m_maxAnswerBytes), true);
        return;
    }
    if (end > m_maxAnswerBytes) {
        failCommands(QStringLiteral("the sound server's answer is longer than %1 bytes").arg(m_maxAnswerBytes), true);
        return;
    }
    const QString answer = QString::fromUtf8(m_answer.left(end));
    // What follows the prompt is the start of the next answer.
    m_answer.remove(0, end + prompt.size());
    m_answerTimer.stop();
    const QString command = m_commands.takeFirst();
    m_commandWritten = false;
    const QPointer<PulseAudio> self(this);
    answered(command, answer);
    if (self)
        writeNextCommand();
}

void PulseAudio::answered(const QString &command, const QString &answer)
{
    if (m_greeting && command == QLatin1String(GreetingCommand)) {
        m_greeting = false;
        // The greeting sent on a new connection is part of the first answer.
        static const QRegularExpression versionPattern(QStringLiteral("PulseAudio ([.0-9A-Za-z_-]+)"));
        const QRegularExpressionMatch match = versionPattern.match(answer);
        if (match.hasMatch()) {
            qInfo().nospace().noquote() << "Captured: " << match.captured(1);
            m_version = QVersionNumber::fromString(match.captured(1));
        }
        emit commandAnswered(command, answer);
        emit started();
        return;
    }
    emit commandAnswered(command, answer);
}

void PulseAudio::answerTimedOut()
{
    if (m_commands.isEmpty())
        return;
    qWarning().nospace().noquote() << "No answer from PulseAudio to " << m_commands.first() << " within "
                                   << m_commandTimeoutMs << " ms; giving up on it";
    failCommands(QStringLiteral("the sound server did not answer within %1 ms").arg(m_commandTimeoutMs), true);
}

void PulseAudio::failCommands(const QString &reason, bool closing)
{
    m_answerTimer.stop();
    m_answer.clear();
    const QStringList commands = m_commands;
    m_commands.clear();
    m_commandWritten = false;
    const bool greeting = m_greeting;
    m_greeting = false;
    // Late bytes of a server that overran its bound would be taken for the next answer.
    if (closing) {
        m_socket->disconnect(this);
        closeCommandSocket();
        m_socket->deleteLater();
        m_socket = createCommandSocket();
        connect(m_socket, &QIODevice::readyRead, this, &PulseAudio::readAnswer);
    }
    for (const QString &command : commands)
        emit commandFailed(command, reason);
    if (greeting)
        reportFailure(QStringLiteral("The sound server does not answer on its command interface: ") + reason);
}

void PulseAudio::stop()
{
    m_connectionTimer.stop();
    if (m_process->state() == QProcess::NotRunning) {
        if (m_connectExisting) {
            m_stopping = true;
            closeCommandSocket();
        }
        return;
    }
    qInfo().nospace().noquote() << "Stopping pulseaudio";
    m_stopping = true;
    // Commands still waiting are of no use any more.
    m_answerTimer.stop();
    m_commands.clear();
    m_commandWritten = false;
    m_answer.clear();
    m_greeting = false;
    closeCommandSocket();
    m_process->terminate();
    m_stopTimer.start(StopTimeoutMs);
}

bool PulseAudio::isZelPulseaudioInstalled()
{
    return false;
}

bool PulseAudio::isOpusSupported()
{
    return false;
}

bool PulseAudio::isRunning()
{
    return commandSocketConnected();
}

QString PulseAudio::getPulseSocketPath()
{
    return QStringLiteral("%1/cli").arg(m_pulseaudioHome);
}

QString PulseAudio::getPulseModulePath()
{
    return QString();
}

void PulseAudio::connectExisting(const QString &path)
{
    qDebug().nospace().noquote() << "Starting connection to existing PulseAudio";
    m_connectExisting = true;

    QDir dir(path);
    if (path.isEmpty()) {
        dir = QDir(qEnvironmentVariable("XDG_RUNTIME_DIR"));
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !dir.cd(QStringLiteral("pulse"))) {
            qCritical().nospace().noquote() << "Failed to determine pulseaudio's directory, dir was " << dir.path();
            emit error(QStringLiteral("Failed to find PulseAudio directory"));
            return;
        }
    }
    m_pulseaudioHome = dir.path();
    qInfo().nospace().noquote() << "Found pulse home: " << m_pulseaudioHome;

    QFile pidFile(dir.filePath(QStringLiteral("pid")));
    if (!pidFile.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCritical().nospace().noquote() << "Failed to open pidfile " << pidFile.fileName();
        emit error(QStringLiteral("Failed to open pidfile"));
        return;
    }
    const QString pidText = QString::fromUtf8(pidFile.readAll()).trimmed();
    bool ok = false;
    pidText.toInt(&ok, 10);
    if (!ok) {
        qCritical().nospace().noquote() << "Failed to parse pid string " << pidText;
        emit error(QStringLiteral("Failed to parse pid string"));
        return;
    }

    m_stopping = false;
    m_failureReported = false;
    m_stopReported = false;
    activateSocket();
    m_connectionTimer.setSingleShot(false);
    m_connectionTimer.start(ConnectionRetryMs);
}

void PulseAudio::connectionTimerTick()
{
    qInfo().nospace().noquote() << "Timer: attempting connection to pulseaudio socket " << getPulseSocketPath();
    connectSocket();
}

void PulseAudio::connectSocket()
{
    // One attempt at a time; a second CLI module announcing itself changes nothing.
    if (!commandSocketIdle())
        return;
    openCommandSocket();
}

void PulseAudio::processStarted()
{
    qInfo().nospace().noquote() << "Pulse process started, waiting for initialization";
}

void PulseAudio::processReadyReadOutput()
{
    qInfo().nospace().noquote() << "Pulse: " << QString::fromUtf8(m_process->readAllStandardOutput());
}

void PulseAudio::processReadyReadError()
{
    const QByteArray chunk = m_process->readAllStandardError();
    m_stderrBuffer.add(chunk);
    while (m_stderrBuffer.hasLine())
        handleServerLine(m_stderrBuffer.getLine());
    qCritical().nospace().noquote() << "Pulse error: " << chunk;
}

void PulseAudio::handleServerLine(const QString &line)
{
    qInfo().nospace().noquote() << "PA: " << line;
    if (line.startsWith(QLatin1String("E: "))) {
        m_errorLines.append(line);
        while (m_errorLines.size() > KeptErrorLines)
            m_errorLines.removeFirst();
    }
    if (line.contains(QLatin1String("Daemon startup complete"))) {
        qInfo().nospace().noquote() << "PulseAudio daemon running, requesting socket";
        activateSocket();
    }
    if (line.contains(QLatin1String("Loaded \"module-cli-protocol"))
        || line.contains(QLatin1String("Failed to load module \"module-cli-protocol"))) {
        qInfo().nospace().noquote() << "PulseAudio daemon ready for connection";
        qInfo().nospace().noquote() << "Connecting to socket " << getPulseSocketPath();
        connectSocket();
    }
}

void PulseAudio::processError(QProcess::ProcessError error)
{
    m_connectionTimer.stop();
    if (m_stopping)
        return;
    const QString text = QStringLiteral("Process error %1").arg(int(error));
    if (error == QProcess::FailedToStart) {
        // No finished() follows a program that never ran.
        reportFailure(text + QStringLiteral(": ") + m_process->errorString());
        reportStopped();
    } else if (error == QProcess::Crashed) {
        reportFailure(text + QStringLiteral(": pulseaudio crashed or was killed") + failureReason());
    } else {
        qWarning().nospace().noquote() << "pulseaudio process: " << text << ", " << m_process->errorString();
    }
}

void PulseAudio::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_connectionTimer.stop();
    m_stopTimer.stop();
    qWarning().nospace().noquote() << "PulseAudio finished with code " << exitCode << "; status " << exitStatus;
    if (m_stderrBuffer.hasPartialLine())
        handleServerLine(m_stderrBuffer.getPartialLine());
    m_stderrBuffer = LineBuffer();
    if (!m_stopping) {
        reportFailure(exitStatus == QProcess::CrashExit
                          ? QStringLiteral("pulseaudio crashed or was killed") + failureReason()
                          : QStringLiteral("pulseaudio ended with code %1").arg(exitCode) + failureReason());
    }
    if (m_cleanupAfterEnd)
        m_cleanupAfterEnd();
    reportStopped();
}

void PulseAudio::socketConnected()
{
    qInfo().nospace().noquote() << "Socket connected";
    m_connectionTimer.stop();
    // The server greets on the first line it reads; started() follows the greeting, once the
    // server is known to answer.
    m_greeting = true;
    sendCommand(QString::fromLatin1(GreetingCommand));
}

void PulseAudio::socketDisconnected()
{
    qWarning().nospace().noquote() << "Pulse socket disconnected!";
    if (!m_commands.isEmpty() && !m_stopping)
        failCommands(QStringLiteral("the sound server closed its command interface"), false);
    // An attached server has no process to watch: losing its socket is its end.
    if (m_connectExisting && m_process->state() == QProcess::NotRunning && !m_stopping) {
        reportFailure(QStringLiteral("Lost the connection to PulseAudio"));
        reportStopped();
    }
}

void PulseAudio::socketError(QLocalSocket::LocalSocketError err)
{
    // The peer closing is a disconnection, reported as such; a refused attempt while attaching
    // is retried by the timer.
    if (err == QLocalSocket::PeerClosedError || err == QLocalSocket::SocketTimeoutError || m_stopping)
        return;
    if (m_connectionTimer.isActive()) {
        qDebug().nospace().noquote() << "Connection attempt failed: " << err;
        return;
    }
    qCritical().nospace().noquote() << "Socket error: " << err;
    emit error(QStringLiteral("Failed to connect to socket, error %1").arg(int(err)));
}

void PulseAudio::reportFailure(const QString &text)
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    qCritical().nospace().noquote() << "PulseAudio failed: " << text;
    emit error(text);
}

void PulseAudio::reportStopped()
{
    if (m_stopReported)
        return;
    m_stopReported = true;
    emit stopped();
}

QString PulseAudio::failureReason() const
{
    if (m_errorLines.isEmpty())
        return QString();
    return QStringLiteral(": ") + m_errorLines.join(QStringLiteral("; "));
}
