#include "pulseaudio.h"

#include "helpers/pathtools.h"
#include "helpers/privatefiles.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {

const int ConnectionRetryMs = 50;
const int WaitSliceMs = 100;
const int KeptErrorLines = 3;

} // namespace

PulseAudio::PulseAudio()
    : QObject(nullptr)
    , m_pulseaudioPath(PathTools::findBin(QStringLiteral("pulseaudio"), QStringList()))
    , m_pulseaudioHome(PathTools::getPulseaudioHome())
{
    connect(&m_process, &QProcess::started, this, &PulseAudio::processStarted);
    connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &PulseAudio::processFinished);
    connect(&m_process, &QProcess::errorOccurred, this, &PulseAudio::processError);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &PulseAudio::processReadyReadOutput);
    connect(&m_process, &QProcess::readyReadStandardError, this, &PulseAudio::processReadyReadError);
    connect(&m_connectionTimer, &QTimer::timeout, this, &PulseAudio::connectionTimerTick);
    connect(&m_socket, &QLocalSocket::connected, this, &PulseAudio::socketConnected);
    connect(&m_socket, &QLocalSocket::disconnected, this, &PulseAudio::socketDisconnected);
    // Without this a CLI socket that cannot be reached would leave the caller waiting for a
    // started() that never comes.
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &PulseAudio::socketError);
}

PulseAudio::~PulseAudio()
{
    // The owner is going away: the server goes with it, without signals to receivers that may
    // be half destroyed themselves.
    m_stopping = true;
    m_connectionTimer.stop();
    disconnect(&m_process, nullptr, this, nullptr);
    disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(StopTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished(StopTimeoutMs);
        }
    }
}

void PulseAudio::start()
{
    qInfo().nospace().noquote() << "Starting pulseaudio";
    if (m_process.state() != QProcess::NotRunning) {
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
    m_process.setProcessEnvironment(environment);

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
    m_process.start(m_pulseaudioPath, arguments, QIODevice::ReadWrite);
}

void PulseAudio::activateSocket()
{
    if (!m_connectExisting && m_process.state() != QProcess::Running)
        qWarning().nospace().noquote() << "Not activating socket, process is in state " << m_process.state();
}

QString PulseAudio::sendCommand(const QString &command)
{
    if (!m_socket.isValid()) {
        qCritical().nospace().noquote() << "Attempted to send command " << command << " while not connected! Socket is in state "
                    << m_socket.state();
        return QString();
    }
    qInfo().nospace().noquote() << "Sending command: " << command;

    // What is left over from an exchange that gave up waiting answers nothing asked now.
    if (m_socket.bytesAvailable() > 0)
        qInfo().nospace().noquote() << "Dropping a late answer: " << m_socket.readAll();

    const qint64 written = m_socket.write((command + QLatin1Char('\n')).toUtf8());
    m_socket.flush();
    m_socket.waitForBytesWritten(WaitSliceMs);
    qInfo().nospace().noquote() << "Wrote " << written << " bytes";
    return readAnswer(command);
}

QString PulseAudio::readAnswer(const QString &command)
{
    // A server that stays connected but never prompts must not hold the caller (the GUI
    // thread) for long.
    const QDeadlineTimer deadline(CommandTimeoutMs);
    QByteArray received;
    while (m_socket.state() == QLocalSocket::ConnectedState) {
        if (m_socket.bytesAvailable() <= 0) {
            if (deadline.hasExpired()) {
                qWarning().nospace().noquote() << "No answer from PulseAudio to " << command << " within " << CommandTimeoutMs
                           << " ms; giving up on it";
                return QString();
            }
            m_socket.waitForReadyRead(int(qMin<qint64>(WaitSliceMs, qMax<qint64>(1, deadline.remainingTime()))));
            continue;
        }
        qInfo().nospace().noquote() << "Reading data";
        const QByteArray data = m_socket.read(4096);
        qInfo().nospace().noquote() << "Data read: " << data << "; " << data.size() << " bytes";
        received += data;
        const QString text = QString::fromUtf8(received);
        if (text.endsWith(m_prompt))
            return text.left(text.size() - m_prompt.size());
        const int prompt = text.indexOf(m_prompt);
        if (prompt >= 0)
            return text.left(prompt);
    }
    // The connection dropped before the prompt: what came is all there is.
    return QString::fromUtf8(received);
}

void PulseAudio::stop()
{
    m_connectionTimer.stop();
    if (m_process.state() == QProcess::NotRunning) {
        if (m_connectExisting) {
            m_stopping = true;
            m_socket.abort();
        }
        return;
    }
    qInfo().nospace().noquote() << "Stopping pulseaudio";
    m_stopping = true;
    m_socket.abort();
    m_process.terminate();
    if (!m_process.waitForFinished(StopTimeoutMs)) {
        qWarning().nospace().noquote() << "pulseaudio did not end within " << StopTimeoutMs << " ms; killing it";
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
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
    return m_socket.isValid();
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
    if (m_socket.state() != QLocalSocket::UnconnectedState)
        return;
    m_socket.connectToServer(getPulseSocketPath(), QIODevice::ReadWrite);
}

void PulseAudio::processStarted()
{
    qInfo().nospace().noquote() << "Pulse process started, waiting for initialization";
}

void PulseAudio::processReadyReadOutput()
{
    qInfo().nospace().noquote() << "Pulse: " << QString::fromUtf8(m_process.readAllStandardOutput());
}

void PulseAudio::processReadyReadError()
{
    const QByteArray chunk = m_process.readAllStandardError();
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
        reportFailure(text + QStringLiteral(": ") + m_process.errorString());
        reportStopped();
    } else if (error == QProcess::Crashed) {
        reportFailure(text + QStringLiteral(": pulseaudio crashed or was killed") + failureReason());
    } else {
        qWarning().nospace().noquote() << "pulseaudio process: " << text << ", " << m_process.errorString();
    }
}

void PulseAudio::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_connectionTimer.stop();
    qWarning().nospace().noquote() << "PulseAudio finished with code " << exitCode << "; status " << exitStatus;
    if (m_stderrBuffer.hasPartialLine())
        handleServerLine(m_stderrBuffer.getPartialLine());
    m_stderrBuffer = LineBuffer();
    if (!m_stopping) {
        reportFailure(exitStatus == QProcess::CrashExit
                          ? QStringLiteral("pulseaudio crashed or was killed") + failureReason()
                          : QStringLiteral("pulseaudio ended with code %1").arg(exitCode) + failureReason());
    }
    reportStopped();
}

void PulseAudio::socketConnected()
{
    qInfo().nospace().noquote() << "Socket connected";
    m_connectionTimer.stop();
    const QString answer = sendCommand(QStringLiteral("hello"));
    // The greeting sent on a new connection is part of the first answer.
    static const QRegularExpression versionPattern(QStringLiteral("PulseAudio ([.0-9A-Za-z_-]+)"));
    const QRegularExpressionMatch match = versionPattern.match(answer);
    if (match.hasMatch()) {
        qInfo().nospace().noquote() << "Captured: " << match.captured(1);
        m_version = QVersionNumber::fromString(match.captured(1));
    }
    emit started();
}

void PulseAudio::socketDisconnected()
{
    qWarning().nospace().noquote() << "Pulse socket disconnected!";
    // An attached server has no process to watch: losing its socket is its end.
    if (m_connectExisting && m_process.state() == QProcess::NotRunning && !m_stopping) {
        reportFailure(QStringLiteral("Lost the connection to PulseAudio"));
        reportStopped();
    }
}

void PulseAudio::socketError(QLocalSocket::LocalSocketError err)
{
    // The peer closing is a disconnection, reported as such; a wait of sendCommand that ran
    // out is its own affair; a refused attempt while attaching is retried by the timer.
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
