#pragma once

#include "helpers/boundprocess.h"
#include "linebuffer.h"
#include "zelclient_export.h"

#include <QLocalSocket>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVersionNumber>

#include <functional>

// Runs a local PulseAudio sound server as a child process, or attaches to one that runs
// already, and talks to it through its command-line interface (a Unix socket here; on
// Windows, where that socket is a named pipe the server does not offer, a loopback TCP port).
//
// In started mode the server is run verbose, loads the modules of its script and no more, cannot
// be told to exit, and dies with the client. Its diagnostic output drives the class: once
// the output says the command-line-interface module was loaded (or failed to load), the CLI
// socket is connected, the server's version is read from its greeting, and started() follows.
// stopped() follows whenever the server process ends, for whatever reason; a server that
// cannot be started, that ends without being asked to, or that does not answer on its command
// interface is also reported through error() with the reason.
//
// Nothing here waits: commands are answered through signals, each answer bounded in time and
// in size, and a server being stopped is not waited for.
class ZELCLIENT_EXPORT PulseAudio : public QObject
{
    Q_OBJECT

public:
    PulseAudio();
    ~PulseAudio() override;

    QString getPulseaudioHome() const { return m_pulseaudioHome; }
    void setPulseaudioHome(const QString &home) { m_pulseaudioHome = home; }
    QString getPulseaudioStatePath() const { return m_pulseaudioStatePath; }
    void setPulseaudioStatePath(const QString &path) { m_pulseaudioStatePath = path; }
    QString getZelPulseaudioPath() const { return m_pulseaudioPath; }
    void setZelPulseaudioPath(const QString &path) { m_pulseaudioPath = path; }
    // The script the server runs at start; when none is set, the one shipped with the client.
    QString getZelPulseaudioConfig() const { return m_pulseaudioConfig; }
    void setZelPulseaudioConfig(const QString &config) { m_pulseaudioConfig = config; }
    QVersionNumber getVersion() const { return m_version; }
    // The last error lines of the server's own output in its current or last run.
    QStringList errorLines() const { return m_errorLines; }

    // The longest the server may take to answer a command, prompt included.
    static const int CommandTimeoutMs = 2000;
    void setCommandTimeout(int ms) { m_commandTimeoutMs = ms; }
    // The longest answer taken from the server; a longer one is no answer of the server's.
    static const int MaxAnswerBytes = 256 * 1024;
    void setMaxAnswerSize(int bytes) { m_maxAnswerBytes = bytes; }
    // The longest a server asked to end by stop() may take before it is killed.
    static const int StopTimeoutMs = 2000;

    // The line of the server's script that opens the command interface the manager reaches.
    QString commandModuleLine();

    // Runs once the server process has ended, also when that is after this object has gone: a
    // server recreates its runtime folder as it ends, so what removes the folder waits for it.
    void setCleanupAfterEnd(const std::function<void()> &cleanup) { m_cleanupAfterEnd = cleanup; }

    // Attaches to a server that runs already, found through its runtime directory (path, or
    // "pulse" under XDG_RUNTIME_DIR) and its process-id file.
    virtual void connectExisting(const QString &path);
    virtual void start();
    virtual void activateSocket();
    // Sends one command on the CLI socket; commands are answered one after the other. Its answer
    // without the prompt comes as commandAnswered(). commandFailed() comes instead when the
    // socket is not connected, when the answer is not complete within the command time-out or
    // grows longer than the largest answer (the connection is then closed: what came after would
    // be taken for the next answer), or when the connection ends first.
    virtual void sendCommand(const QString &command);
    // Ends a server this object started, without waiting for it; stopped() follows once it
    // has ended (it is killed when it has not within StopTimeoutMs).
    virtual void stop();
    virtual bool isZelPulseaudioInstalled();
    virtual bool isOpusSupported();
    virtual bool isRunning();
    virtual QString getPulseModuleExtension();
    virtual QString getPulseSocketPath();
    virtual QString getPulseModulePath();

signals:
    void started();
    void stopped();
    void error(QString error);
    void commandAnswered(const QString &command, const QString &answer);
    void commandFailed(const QString &command, const QString &reason);

public slots:
    void processError(QProcess::ProcessError error);
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processStarted();
    void processReadyReadOutput();
    void processReadyReadError();
    void connectionTimerTick();
    void socketConnected();
    void socketDisconnected();
    void socketError(QLocalSocket::LocalSocketError err);

private:
    void handleServerLine(const QString &line);
    void connectSocket();
    void reportFailure(const QString &text);
    void reportStopped();
    QString failureReason() const;
    void writeNextCommand();
    void readAnswer();
    void answerTimedOut();
    void answered(const QString &command, const QString &answer);
    // Every command still waiting fails with the reason; with closing, the connection is closed.
    void failCommands(const QString &reason, bool closing);

    // The platform's command interface: its socket, made and connected to this object's slots.
    QIODevice *createCommandSocket();
    void openCommandSocket();
    void closeCommandSocket();
    bool commandSocketConnected() const;
    bool commandSocketIdle() const;

    QString m_prompt = QStringLiteral(">>> ");
    bool m_connectExisting = false;
    QTimer m_connectionTimer;
    QIODevice *m_socket;
    QString m_pulseaudioPath;
    QString m_pulseaudioHome;
    QString m_pulseaudioStatePath;
    QString m_pulseaudioConfig;
    QVersionNumber m_version;
    LineBuffer m_stderrBuffer;
    BoundProcess *m_process;
    // The loopback port of the TCP command interface, where the platform uses one.
    quint16 m_commandPort = 0;
    std::function<void()> m_cleanupAfterEnd;

    // Commands written or waiting, oldest first; the first one's answer is being read.
    QStringList m_commands;
    bool m_commandWritten = false;
    QByteArray m_answer;
    QTimer m_answerTimer;
    QTimer m_stopTimer;
    int m_commandTimeoutMs = CommandTimeoutMs;
    int m_maxAnswerBytes = MaxAnswerBytes;
    // The greeting exchange of a new connection is under way; started() follows its answer.
    bool m_greeting = false;

    // State of one run of the server: a failure and the end are each reported once, and an
    // end that stop() asked for is no failure.
    bool m_failureReported = false;
    bool m_stopReported = true;
    bool m_stopping = false;
    QStringList m_errorLines;
};
