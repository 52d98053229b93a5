#include "nxagentvm.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QTcpServer>

namespace {

const int FirstDisplay = 100;
const int LastDisplay = 899;
const int RememberedLines = 8;
const int StartAttempts = 3;   // another try only when the display or port was taken meanwhile

// An agent that aborts while negotiating its session leaves its display's socket behind.
// Without a lock file and refusing connections, nobody owns it any more.
void removeStaleSocket(int display)
{
    const QString socketPath = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
    if (display < 0 || !QFile::exists(socketPath) || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
        return;
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    if (probe.waitForConnected(200))
        return;
    if (QFile::remove(socketPath))
        qInfo().noquote() << "removed the stale socket" << socketPath;
}

bool portFree(quint16 port)
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, port);
}

} // namespace

NxAgentVm::NxAgentVm(const Settings &settings)
    : QObject(nullptr)
    , m_settings(settings)
    , m_home(QDir::tempPath() + QStringLiteral("/zel-demo-vm-XXXXXX"))
{
    instances().append(this);

    m_agent.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_agent, &QProcess::readyReadStandardOutput, this, &NxAgentVm::agent_readyRead);
    connect(&m_agent, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &NxAgentVm::agent_finished);
    connect(&m_agent, &QProcess::errorOccurred, this, &NxAgentVm::agent_errorOccurred);

    watchProgram(m_desktop, QStringLiteral("desktop"));
    watchProgram(m_sound, QStringLiteral("sound"));

    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, &NxAgentVm::start_timeout);
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, &NxAgentVm::stop_timeout);
}

void NxAgentVm::watchProgram(QProcess &process, const QString &what)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&process, &QProcess::readyReadStandardOutput, this, [this, &process, what]() {
        const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
        for (const QByteArray &line : lines) {
            if (!line.trimmed().isEmpty())
                qInfo().noquote() << tag() << what + QLatin1Char(':') << QString::fromLocal8Bit(line.trimmed());
        }
    });
    connect(&process, &QProcess::errorOccurred, this, [this, &process, what](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            qWarning().noquote() << tag() << "cannot start the" << what << "program" << process.program() << ":"
                                 << process.errorString();
    });
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, what](int exitCode, QProcess::ExitStatus status) {
                qInfo().noquote() << tag() << what << "program ended"
                                  << (status == QProcess::NormalExit ? QStringLiteral("with exit code %1").arg(exitCode)
                                                                     : QStringLiteral("by a signal"));
            });
}

NxAgentVm::~NxAgentVm()
{
    instances().removeAll(this);
    disconnect(&m_agent, nullptr, this, nullptr);
    disconnect(&m_desktop, nullptr, this, nullptr);
    disconnect(&m_sound, nullptr, this, nullptr);
    for (QProcess *program : {&m_desktop, &m_sound}) {
        if (program->state() != QProcess::NotRunning) {
            program->kill();
            program->waitForFinished(StopTimeoutMs);
        }
    }
    if (m_agent.state() != QProcess::NotRunning) {
        m_agent.terminate();
        if (!m_agent.waitForFinished(StopTimeoutMs)) {
            m_agent.kill();
            m_agent.waitForFinished(StopTimeoutMs);
        }
    }
}

QList<NxAgentVm *> &NxAgentVm::instances()
{
    static QList<NxAgentVm *> list;
    return list;
}

QString NxAgentVm::tag() const
{
    return QStringLiteral("[vm %1 :%2]").arg(m_settings.vmId).arg(m_display);
}

int NxAgentVm::freeDisplay()
{
    // Brokers running side by side each start their search elsewhere in the range.
    const int count = LastDisplay - FirstDisplay + 1;
    const int start = int(QCoreApplication::applicationPid() % 100) * 8;
    for (int i = 0; i < count; ++i) {
        const int display = FirstDisplay + (start + i) % count;
        bool taken = false;
        for (const NxAgentVm *vm : qAsConst(instances()))
            taken = taken || vm->m_display == display;
        if (taken || QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))
            || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
            continue;
        // The agent's own X port and the port it offers slave connections on.
        if (!portFree(static_cast<quint16>(6000 + display)) || !portFree(static_cast<quint16>(11000 + display)))
            continue;
        return display;
    }
    return -1;
}

quint16 NxAgentVm::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

void NxAgentVm::start()
{
    if (m_stopping || m_agent.state() != QProcess::NotRunning)
        return;
    if (!m_home.isValid()) {
        fail(QStringLiteral("cannot make a home folder for the VM: %1").arg(m_home.errorString()));
        return;
    }
    ++m_startAttempts;
    m_display = freeDisplay();
    m_port = freePort();
    m_mediaPort = freePort();
    if (m_display < 0 || m_port == 0 || m_mediaPort == 0) {
        fail(QStringLiteral("no free display or port for the VM"));
        return;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("NX_ROOT"));
    environment.remove(QStringLiteral("ZEL_SLAVE_KEY"));
    environment.remove(QStringLiteral("ZEL_SLAVE_KEY_FILE"));
    // The agent keeps its session folder (.nx) under HOME, which must be writable.
    environment.insert(QStringLiteral("HOME"), m_home.path());
    if (!m_settings.slaveService.isEmpty()) {
        environment.insert(QStringLiteral("NX_SLAVE_CMD"), m_settings.slaveService);
        if (m_settings.hasSlaveKey) {
            // A file only the broker's user can read, rather than the key itself in every
            // process environment of the VM.
            QFile keyFile(m_home.filePath(QStringLiteral("slave.key")));
            if (!keyFile.open(QIODevice::WriteOnly)
                || !keyFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                || keyFile.write(m_settings.slaveKey + '\n') != m_settings.slaveKey.size() + 1) {
                fail(QStringLiteral("cannot write the slave key file: %1").arg(keyFile.errorString()));
                return;
            }
            environment.insert(QStringLiteral("ZEL_SLAVE_KEY_FILE"), keyFile.fileName());
        }
    } else {
        environment.remove(QStringLiteral("NX_SLAVE_CMD"));
    }
    m_agent.setProcessEnvironment(environment);
    m_agent.setWorkingDirectory(m_home.path());

    // The display name comes last as well: without it the agent cannot open its display.
    const QStringList arguments{
        QStringLiteral("-display"),
        QStringLiteral("nx/nx,listen=%1,accept=127.0.0.1,slave=1,media=%3:%2").arg(m_port).arg(m_display).arg(m_mediaPort),
        QStringLiteral(":%1").arg(m_display)};
    qInfo().noquote() << tag() << "starting" << m_settings.agentProgram << arguments.join(QLatin1Char(' '))
                      << (m_settings.slaveService.isEmpty() ? QStringLiteral("without a slave service")
                                                            : QStringLiteral("with slave service ") + m_settings.slaveService)
                      << QStringLiteral("and its sound on port %1").arg(m_mediaPort);
    m_startTimer.start(m_settings.startTimeoutMs);
    m_agent.start(m_settings.agentProgram, arguments);
}

void NxAgentVm::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_startTimer.stop();
    for (QProcess *program : {&m_desktop, &m_sound}) {
        if (program->state() != QProcess::NotRunning)
            program->terminate();
    }
    if (m_agent.state() == QProcess::NotRunning) {
        deleteLater();
        return;
    }
    qInfo().noquote() << tag() << "stopping the VM";
    m_agent.terminate();
    m_stopTimer.start(StopTimeoutMs);
}

QList<NxAgentVm *> NxAgentVm::stopAll(int vmId)
{
    QList<NxAgentVm *> stopped;
    const QList<NxAgentVm *> all = instances();
    for (NxAgentVm *vm : all) {
        if (vm->vmId() == vmId && vm->m_agent.state() != QProcess::NotRunning) {
            stopped.append(vm);
            vm->stop();
        }
    }
    return stopped;
}

void NxAgentVm::endAllNow()
{
    const QList<NxAgentVm *> all = instances();
    for (NxAgentVm *vm : all) {
        for (QProcess *program : {&vm->m_desktop, &vm->m_sound}) {
            if (program->state() != QProcess::NotRunning)
                program->terminate();
        }
        if (vm->m_agent.state() != QProcess::NotRunning)
            vm->m_agent.terminate();
    }
    // The destructor waits for each agent, and kills one that does not end in time.
    qDeleteAll(all);
}

void NxAgentVm::agent_readyRead()
{
    m_partialLine += m_agent.readAllStandardOutput();
    int end;
    while ((end = m_partialLine.indexOf('\n')) >= 0) {
        const QByteArray line = m_partialLine.left(end);
        m_partialLine.remove(0, end + 1);
        handleAgentLine(line);
    }
}

void NxAgentVm::handleAgentLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    m_lastLines.append(trimmed);
    if (m_lastLines.size() > RememberedLines)
        m_lastLines.removeFirst();
    // The list of keystrokes is indented; it tells nothing about the session.
    if (!line.startsWith(' '))
        qInfo().noquote() << tag() << "nxagent:" << QString::fromLocal8Bit(trimmed);

    if (!m_listening && !m_stopping && trimmed.contains("Waiting for connection")) {
        m_listening = true;
        m_startTimer.stop();
        m_reported = true;
        emit listening(m_port);
    } else if (trimmed.startsWith("Session: Session started")) {
        startDesktop();
    }
}

void NxAgentVm::startDesktop()
{
    if (m_desktopStarted || m_stopping)
        return;
    m_desktopStarted = true;
    startProgram(m_desktop, m_settings.desktop, QStringLiteral("desktop"));
    startProgram(m_sound, m_settings.sound, QStringLiteral("sound"));
}

void NxAgentVm::startProgram(QProcess &process, const QString &commandLine, const QString &what)
{
    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return;
    const QString program = arguments.takeFirst();
    QProcessEnvironment environment = m_agent.processEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(m_display));
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("tcp:127.0.0.1:%1").arg(m_mediaPort));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_home.path());
    qInfo().noquote() << tag() << "starting the" << what << "program" << commandLine;
    process.start(program, arguments);
}

void NxAgentVm::agent_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_startTimer.stop();
    m_stopTimer.stop();
    for (QProcess *program : {&m_desktop, &m_sound}) {
        if (program->state() != QProcess::NotRunning)
            program->terminate();
    }
    const QString how = exitStatus == QProcess::NormalExit ? QStringLiteral("with exit code %1").arg(exitCode)
                                                           : QStringLiteral("by a signal");
    qInfo().noquote() << tag() << "nxagent ended" << how;
    removeStaleSocket(m_display);
    if (!m_reported && !m_stopping && m_startAttempts < StartAttempts && lostDisplayOrPortRace()) {
        qInfo().noquote() << tag() << "the display or port was taken meanwhile; trying others";
        m_lastLines.clear();
        m_partialLine.clear();
        QTimer::singleShot(0, this, &NxAgentVm::start);
        return;
    }
    if (!m_reported) {
        m_reported = true;
        QStringList last;
        for (const QByteArray &line : qAsConst(m_lastLines))
            last << QString::fromLocal8Bit(line);
        emit failed(QStringLiteral("nxagent ended %1 before it accepted connections: %2")
                        .arg(how, last.join(QStringLiteral(" | "))));
    } else {
        emit ended();
    }
    deleteLater();
}

// The display and port are checked before the agent starts, so another program may take one
// of them in between; that is worth another try, any other failure is not.
bool NxAgentVm::lostDisplayOrPortRace() const
{
    for (const QByteArray &line : m_lastLines) {
        if (line.contains("Server is already active for display") || line.contains("Address already in use"))
            return true;
    }
    return false;
}

void NxAgentVm::agent_errorOccurred(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    fail(QStringLiteral("cannot start %1: %2").arg(m_settings.agentProgram, m_agent.errorString()));
}

void NxAgentVm::start_timeout()
{
    fail(QStringLiteral("nxagent did not accept connections within %1 ms").arg(m_settings.startTimeoutMs));
}

void NxAgentVm::stop_timeout()
{
    qWarning().noquote() << tag() << "nxagent did not end within" << StopTimeoutMs << "ms; killing it";
    m_agent.kill();
}

void NxAgentVm::fail(const QString &text)
{
    if (!m_reported) {
        m_reported = true;
        emit failed(text);
    }
    stop();
}
