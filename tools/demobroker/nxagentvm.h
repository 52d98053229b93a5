#pragma once

#include <QByteArray>
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
    };

    explicit NxAgentVm(const Settings &settings);
    ~NxAgentVm() override;

    // Starts the agent; listening() or failed() follows, once.
    void start();
    // Ends the desktop program and the agent; ended() follows, then the object goes away.
    void stop();

    int vmId() const { return m_settings.vmId; }
    int display() const { return m_display; }
    quint16 port() const { return m_port; }
    // Where programs of the VM play sound that the session carries to the client.
    quint16 mediaPort() const { return m_mediaPort; }

    // Stops every VM with this id that is running now and returns them (they emit ended()).
    static QList<NxAgentVm *> stopAll(int vmId);
    // For the broker's exit: ends every agent that is still running, waiting a bounded time.
    static void endAllNow();

    // Time an agent gets to end after SIGTERM before it is killed.
    static const int StopTimeoutMs = 10000;

signals:
    void listening(quint16 port);
    void failed(const QString &text);
    void ended();

private:
    void agent_readyRead();
    void agent_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void agent_errorOccurred(QProcess::ProcessError error);
    void start_timeout();
    void stop_timeout();

    void handleAgentLine(const QByteArray &line);
    bool lostDisplayOrPortRace() const;
    void startDesktop();
    void watchProgram(QProcess &process, const QString &what);
    void startProgram(QProcess &process, const QString &commandLine, const QString &what);
    void fail(const QString &text);
    QString tag() const;

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
    QByteArray m_partialLine;
    QList<QByteArray> m_lastLines;
    int m_display = -1;
    quint16 m_port = 0;
    quint16 m_mediaPort = 0;
    bool m_listening = false;
    bool m_desktopStarted = false;
    bool m_stopping = false;
    bool m_reported = false;
    int m_startAttempts = 0;
};
