#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A real nxagent for one test: the VM side of an NX session, waiting for an nxproxy on a listen
// port of its own, with the slave channel on. nxagent cannot choose its display or its port and
// report them, so both are chosen free; when another program takes either first, the agent
// ends at once and is started again on other numbers.
class NxAgentProcess
{
public:
    NxAgentProcess() = default;
    ~NxAgentProcess();
    NxAgentProcess(const NxAgentProcess &) = delete;
    NxAgentProcess &operator=(const NxAgentProcess &) = delete;

    // Starts the agent with that environment (its NX_ROOT a private folder unless given) and
    // extra arguments before the display, and waits until it waits for its proxy; false with
    // errorText() otherwise. Displays are searched above fromDisplay.
    bool start(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
               const QStringList &extraArguments = {}, int fromDisplay = 0);
    // Ends the agent (killed: a connected agent takes many seconds to end gracefully) and
    // removes what it leaves of its display.
    void stop();

    int display() const { return m_display; }
    QString displayName() const { return QStringLiteral(":%1").arg(m_display); }
    quint16 port() const { return m_port; }
    QProcess &process() { return m_process; }
    // Everything the agent printed so far.
    QByteArray output();
    QString errorText() const { return m_errorText; }

private:
    enum class Outcome { Waiting, PortTaken, DisplayTaken, Failed };
    Outcome startOn(int display, quint16 port, const QProcessEnvironment &environment, const QStringList &extraArguments);

    QProcess m_process;
    QByteArray m_output;
    int m_display = -1;
    quint16 m_port = 0;
    QString m_errorText;
};
