#include "nxagentprocess.h"

#include "testenvironment.h"

#include <QDeadlineTimer>
#include <QDir>

namespace {
constexpr int Attempts = 5;
constexpr int ReadyTimeoutMs = 30000;
}

NxAgentProcess::~NxAgentProcess()
{
    stop();
}

bool NxAgentProcess::start(const QProcessEnvironment &environment, const QStringList &extraArguments, int fromDisplay)
{
    QProcessEnvironment agentEnvironment = environment;
    // The agent keeps its session folder under NX_ROOT, else under HOME/.nx.
    if (!agentEnvironment.contains(QStringLiteral("NX_ROOT"))) {
        const QString root = QDir::homePath() + QStringLiteral("/nxagent-root");
        QDir().mkpath(root);
        agentEnvironment.insert(QStringLiteral("NX_ROOT"), root);
    }
    int display = TestEnvironment::freeDisplay(fromDisplay);
    for (int attempt = 0; attempt < Attempts && display >= 0; ++attempt) {
        const quint16 port = TestEnvironment::freeTcpPort();
        switch (startOn(display, port, agentEnvironment, extraArguments)) {
        case Outcome::Waiting:
            m_display = display;
            m_port = port;
            return true;
        case Outcome::PortTaken:
            break;
        case Outcome::DisplayTaken:
            display = TestEnvironment::freeDisplay(display + 1);
            break;
        case Outcome::Failed:
            return false;
        }
    }
    if (display < 0)
        m_errorText = QStringLiteral("no free X display for nxagent");
    return false;
}

NxAgentProcess::Outcome NxAgentProcess::startOn(int display, quint16 port, const QProcessEnvironment &environment,
                                                const QStringList &extraArguments)
{
    m_output.clear();
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("nxagent"),
                    extraArguments
                        + QStringList{QStringLiteral("-display"),
                                      QStringLiteral("nx/nx,listen=%1,slave=1:%2").arg(port).arg(display),
                                      QStringLiteral(":%1").arg(display)});
    if (!m_process.waitForStarted(TestEnvironment::timeout(ReadyTimeoutMs))) {
        m_errorText = QStringLiteral("nxagent did not start: ") + m_process.errorString();
        return Outcome::Failed;
    }
    const QDeadlineTimer deadline(TestEnvironment::timeout(ReadyTimeoutMs));
    while (!output().contains("Waiting for connection")) {
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            break;
        m_process.waitForReadyRead(TestEnvironment::timeout(50));
    }
    if (output().contains("Waiting for connection"))
        return Outcome::Waiting;

    stop();
    if (m_output.contains("Call to bind failed"))
        return Outcome::PortTaken;
    if (m_output.contains("already active for display"))
        return Outcome::DisplayTaken;
    m_errorText = QStringLiteral("nxagent on :%1 did not wait for its proxy: %2")
                      .arg(display)
                      .arg(QString::fromLocal8Bit(m_output.right(2000)));
    return Outcome::Failed;
}

QByteArray NxAgentProcess::output()
{
    m_output += m_process.readAll();
    return m_output;
}

void NxAgentProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(TestEnvironment::timeout(5000));
    }
    output();
    if (m_display >= 0)
        TestEnvironment::removeDisplayLeftovers(m_display);
}
