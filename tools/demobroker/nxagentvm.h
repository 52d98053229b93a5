#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

// One demo VM, started for one client connection: an NX agent on a free display that waits
// for the client's NX proxy on a free loopback port, runs the demo slave service for every
// slave connection (NX_SLAVE_CMD) and shows a desktop program once its session has started.
// The agent reads its options from a file of the VM's (the listen port among them) and writes
// its state to another.
//
// A VM with resumeSeconds keeps its session when its tunnel drops: the agent suspends, and the
// same user's next connection resumes it on a new port, with the programs still running. Its
// desktop program is then the session: when it ends, the user has logged out and the VM ends.
//
// The object has no parent and outlives whoever asked for it: after stop() it ends the agent
// gracefully (an agent killed outright leaves its display's lock files behind) and deletes
// itself once the agent has ended.
class NxAgentVm : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        int vmId = 0;
        QString agentProgram;   // full path of nxagent
        QString desktop;        // command line of the desktop program; empty: none
        QString slaveService;   // program run for every slave connection; empty: no slave channel
        // Command line run once the session has started, like the desktop program; both reach
        // the client's sound server through the agent's multimedia port (PULSE_SERVER).
        QString sound;
        bool hasSlaveKey = false;
        QByteArray slaveKey;
        int startTimeoutMs = 30000;
        // The user the VM was started for: only that user's connections resume it.
        QString user;
        // How long the VM waits, suspended, for a connection that resumes it; 0: none does.
        int resumeSeconds = 0;
    };

    explicit NxAgentVm(const Settings &settings);
    ~NxAgentVm() override;

    // Starts the agent; listening() or failed() follows, once.
    void start();
    // Ends the desktop program and the agent; ended() follows, then the object goes away.
    void stop();
    // The connection the VM served has ended: a VM that can be resumed is kept, suspended, for
    // resumeSeconds; any other ends.
    void release();
    // Takes the VM from the connection it serves, for a new connection of its user: that
    // connection's holder is told (takenOver()) and closes its tunnel.
    void takeOver();
    // Resumes the session for the new connection: the agent is brought to SUSPENDED and waits
    // on a new port, and the new connection's slave key replaces the old one. listening() or
    // failed() follows, once.
    void resume(const QByteArray &slaveKey);

    int vmId() const { return m_settings.vmId; }
    int display() const { return m_display; }
    quint16 port() const { return m_port; }
    // Where programs of the VM play sound that the session carries to the client.
    quint16 mediaPort() const { return m_mediaPort; }

    // What the agent last wrote to its state file (STARTING, RUNNING, SUSPENDED, RESUMING,
    // TERMINATED, ...); empty before it wrote anything.
    QString agentState() const;

    // A running VM with this id whose session the user's new connection may resume; null if
    // there is none.
    static NxAgentVm *resumable(int vmId, const QString &user);
    // Stops every VM with this id that is running now and returns them (they emit ended()).
    static QList<NxAgentVm *> stopAll(int vmId);
    // Stops every VM; allEnded() of the last one follows once none is left.
    static void stopEverything();
    static bool noneLeft() { return instances().isEmpty(); }
    // For the broker's exit: ends every agent that is still running, waiting a bounded time.
    static void endAllNow();

    // Time an agent gets to end after SIGTERM before it is killed.
    static const int StopTimeoutMs = 10000;
    // Time a resume gets to bring the agent to SUSPENDED and listening again.
    static const int ResumeTimeoutMs = 15000;
    // Time the agent gets to notice its closed tunnel before it is told to suspend.
    static const int SuspendNudgeMs = 1000;
    static const int ResumePollMs = 100;
    // Time a suspended agent gets to take a hangup before it is sent another.
    static const int HangUpRetryMs = 1000;

signals:
    void listening(quint16 port);
    void failed(const QString &text);
    void ended();
    // Another connection resumes the VM: the one it served is to be closed.
    void takenOver();

private:
    void agent_readyRead();
    void agent_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void agent_errorOccurred(QProcess::ProcessError error);
    void start_timeout();
    void stop_timeout();
    void keep_timeout();
    void resume_timeout();

    void handleAgentLine(const QByteArray &line);
    bool writeOptions();
    bool writeKeyFile();
    void advanceResume();
    // Has the agent read its options file again: it suspends when running, resumes when suspended.
    void sendHangUp();
    bool lostDisplayOrPortRace() const;
    void startDesktop();
    void watchProgram(QProcess &process, const QString &what);
    void startProgram(QProcess &process, const QString &commandLine, const QString &what);
    void fail(const QString &text);
    QString tag() const;
    QString optionsFile() const;
    QString stateFile() const;
    QString keyFilePath() const;
    void endCompanions();

    static int freeDisplay();
    static quint16 freePort();
    static QList<NxAgentVm *> &instances();

    Settings m_settings;
    QTemporaryDir m_home;
    QProcess m_agent;
    QProcess m_desktop;
    QProcess m_sound;
    QTimer m_startTimer;
    QTimer m_stopTimer;
    QTimer m_keepTimer;
    QTimer m_resumeTimer;
    QTimer m_resumePoll;
    QElapsedTimer m_resumeStarted;
    QElapsedTimer m_lastHangUp;
    QByteArray m_partialLine;
    QList<QByteArray> m_lastLines;
    int m_display = -1;
    quint16 m_port = 0;
    quint16 m_mediaPort = 0;
    // The agent's next "Waiting for connection" is reported as listening().
    bool m_listenPending = false;
    bool m_sessionStarted = false;
    bool m_resuming = false;
    bool m_nudged = false;
    bool m_desktopStarted = false;
    bool m_stopping = false;
    bool m_reported = false;
    int m_startAttempts = 0;
};
