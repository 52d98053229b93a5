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
    m_keepTimer.setSingleShot(true);
    connect(&m_keepTimer, &QTimer::timeout, this, &NxAgentVm::keep_timeout);
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, &NxAgentVm::resume_timeout);
    m_resumePoll.setInterval(ResumePollMs);
    connect(&m_resumePoll, &QTimer::timeout, this, &NxAgentVm::advanceResume);

    // In a VM that keeps its session, the desktop program is the session: its end is the
    // user's logging out, which ends the VM (and the client's session, in order).
    connect(&m_desktop, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, [this]() {
        if (m_settings.resumeSeconds <= 0 || m_stopping)
            return;
        qInfo().noquote() << tag() << "the desktop program ended: the VM's user logged out";
        stop();
    });
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

QString NxAgentVm::optionsFile() const
{
    return m_home.filePath(QStringLiteral("options"));
}

QString NxAgentVm::keyFilePath() const
{
    return m_home.filePath(QStringLiteral("slave.key"));
}

QString NxAgentVm::stateFile() const
{
    return m_home.filePath(QStringLiteral("state"));
}

QString NxAgentVm::agentState() const
{
    QFile file(stateFile());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.read(64)).trimmed();
}

bool NxAgentVm::writeOptions()
{
    // Read by the agent at its start and again at every SIGHUP: a new listen port takes effect
    // at the next resume.
    const QByteArray options = QStringLiteral("nx/nx,listen=%1,accept=127.0.0.1,slave=1,media=%2,state=%3:%4\n")
                                   .arg(m_port)
                                   .arg(m_mediaPort)
                                   .arg(stateFile())
                                   .arg(m_display)
                                   .toLocal8Bit();
    QFile file(optionsFile());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(options) == options.size();
}

bool NxAgentVm::writeKeyFile()
{
    // A file only the broker's user can read, rather than the key itself in every process
    // environment of the VM; each slave service reads it when its connection comes.
    QFile keyFile(keyFilePath());
    return keyFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && keyFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        && keyFile.write(m_settings.slaveKey + '\n') == m_settings.slaveKey.size() + 1;
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
            if (!writeKeyFile()) {
                fail(QStringLiteral("cannot write the slave key file in %1").arg(m_home.path()));
                return;
            }
            environment.insert(QStringLiteral("ZEL_SLAVE_KEY_FILE"), keyFilePath());
        }
    } else {
        environment.remove(QStringLiteral("NX_SLAVE_CMD"));
    }
    m_agent.setProcessEnvironment(environment);
    m_agent.setWorkingDirectory(m_home.path());

    QFile::remove(stateFile());
    if (!writeOptions()) {
        fail(QStringLiteral("cannot write the agent's options file in %1").arg(m_home.path()));
        return;
    }
    // The display name comes last as well: without it the agent cannot open its display.
    const QStringList arguments{QStringLiteral("-display"),
                                QStringLiteral("nx/nx,options=%1:%2").arg(optionsFile()).arg(m_display),
                                QStringLiteral(":%1").arg(m_display)};
    qInfo().noquote() << tag() << "starting" << m_settings.agentProgram << arguments.join(QLatin1Char(' '))
                      << (m_settings.slaveService.isEmpty() ? QStringLiteral("without a slave service")
                                                            : QStringLiteral("with slave service ") + m_settings.slaveService)
                      << QStringLiteral("and its sound on port %1").arg(m_mediaPort)
                      << QStringLiteral("waiting on port %1").arg(m_port);
    m_listenPending = true;
    m_startTimer.start(m_settings.startTimeoutMs);
    m_agent.start(m_settings.agentProgram, arguments);
}

void NxAgentVm::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    endCompanions();
    if (m_agent.state() == QProcess::NotRunning) {
        deleteLater();
        return;
    }
    qInfo().noquote() << tag() << "stopping the VM";
    m_agent.terminate();
    m_stopTimer.start(StopTimeoutMs);
}

// Nothing waits to start, keep or resume the VM any more, and its desktop and sound programs end.
void NxAgentVm::endCompanions()
{
    m_startTimer.stop();
    m_keepTimer.stop();
    m_resumeTimer.stop();
    m_resumePoll.stop();
    for (QProcess *program : {&m_desktop, &m_sound}) {
        if (program->state() != QProcess::NotRunning)
            program->terminate();
    }
}

void NxAgentVm::release()
{
    if (m_stopping)
        return;
    m_resuming = false;
    m_resumeTimer.stop();
    m_resumePoll.stop();
    if (m_settings.resumeSeconds > 0 && m_sessionStarted && m_agent.state() == QProcess::Running) {
        qInfo().noquote() << tag() << "its connection ended; the VM is kept for" << m_settings.resumeSeconds
                          << "s for the next connection of" << m_settings.user;
        m_keepTimer.start(m_settings.resumeSeconds * 1000);
        return;
    }
    stop();
}

void NxAgentVm::keep_timeout()
{
    qInfo().noquote() << tag() << "no connection resumed the VM within" << m_settings.resumeSeconds << "s";
    stop();
}

NxAgentVm *NxAgentVm::resumable(int vmId, const QString &user)
{
    for (NxAgentVm *vm : qAsConst(instances())) {
        if (vm->vmId() == vmId && vm->m_settings.user == user && vm->m_settings.resumeSeconds > 0
            && vm->m_sessionStarted && !vm->m_stopping && vm->m_agent.state() == QProcess::Running)
            return vm;
    }
    return nullptr;
}

void NxAgentVm::takeOver()
{
    // The tunnel the agent served closes: it sees its display fail and suspends.
    emit takenOver();
}

void NxAgentVm::resume(const QByteArray &slaveKey)
{
    if (m_stopping)
        return;
    m_keepTimer.stop();
    m_reported = false;
    m_resuming = true;
    m_nudged = false;
    m_listenPending = false;
    qInfo().noquote() << tag() << "resuming the session for a new connection (agent state" << agentState() << ")";
    // The new connection's key alone opens the slave service from now on.
    m_settings.slaveKey = slaveKey;
    if (m_settings.hasSlaveKey && !writeKeyFile()) {
        fail(QStringLiteral("cannot write the slave key file in %1").arg(m_home.path()));
        return;
    }
    m_resumeTimer.start(ResumeTimeoutMs);
    m_resumeStarted.start();
    // The agent writes its state file after it speaks: looked at often until it is ready.
    m_resumePoll.start();
    advanceResume();
}

void NxAgentVm::advanceResume()
{
    if (!m_resuming) {
        m_resumePoll.stop();
        return;
    }
    const QString state = agentState();
    if (m_listenPending) {
        // An agent that has only just suspended lets a hangup pass unnoticed: it is asked
        // again while it stays suspended.
        if (state == QLatin1String("SUSPENDED") && m_lastHangUp.hasExpired(HangUpRetryMs)) {
            qInfo().noquote() << tag() << "the agent is still suspended; asking it again to resume";
            sendHangUp();
            m_lastHangUp.start();
        }
        return;
    }
    if (state == QLatin1String("SUSPENDED")) {
        // A new port, so that nothing of the old connection reaches the new one.
        const quint16 port = freePort();
        if (port == 0) {
            fail(QStringLiteral("no free port to resume the VM on"));
            return;
        }
        m_port = port;
        if (!writeOptions()) {
            fail(QStringLiteral("cannot write the agent's options file in %1").arg(m_home.path()));
            return;
        }
        qInfo().noquote() << tag() << "the agent is suspended; it resumes on port" << m_port;
        m_listenPending = true;
        sendHangUp();
        m_lastHangUp.start();
    } else if (state == QLatin1String("RESUMING")) {
        // An earlier resume whose connection never came: the agent still waits for it.
        qInfo().noquote() << tag() << "the agent still waits on port" << m_port;
        m_resuming = false;
        m_resumeTimer.stop();
        m_reported = true;
        emit listening(m_port);
    } else if (state == QLatin1String("RUNNING") && !m_nudged && m_resumeStarted.hasExpired(SuspendNudgeMs)) {
        // It has not noticed that its tunnel is gone: told to suspend.
        qInfo().noquote() << tag() << "the agent still runs; asking it to suspend";
        m_nudged = true;
        sendHangUp();
    }
}

void NxAgentVm::resume_timeout()
{
    if (m_resuming)
        fail(QStringLiteral("the VM was not ready to resume within %1 ms (agent state %2)")
                 .arg(ResumeTimeoutMs)
                 .arg(agentState()));
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

void NxAgentVm::stopEverything()
{
    const QList<NxAgentVm *> all = instances();
    for (NxAgentVm *vm : all)
        vm->stop();
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

    if (m_listenPending && !m_stopping && trimmed.contains("Waiting for connection")) {
        m_listenPending = false;
        m_resuming = false;
        m_startTimer.stop();
        m_resumeTimer.stop();
        m_resumePoll.stop();
        m_reported = true;
        emit listening(m_port);
    } else if (trimmed.startsWith("Session: Session started")) {
        m_sessionStarted = true;
        startDesktop();
    }
    // The agent says what it does before it writes its state: every line is a moment to look.
    advanceResume();
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
    m_stopTimer.stop();
    endCompanions();
    const QString how = exitStatus == QProcess::NormalExit ? QStringLiteral("with exit code %1").arg(exitCode)
                                                           : QStringLiteral("by a signal");
    qInfo().noquote() << tag() << "nxagent ended" << how;
    removeStaleSocket(m_display);
    const bool stopping = m_stopping;
    // Nothing of the VM is started or resumed any more.
    m_stopping = true;
    if (!m_reported && !stopping && m_startAttempts < StartAttempts && lostDisplayOrPortRace()) {
        m_stopping = false;
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
