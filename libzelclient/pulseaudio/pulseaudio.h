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

// Runs a local PulseAudio sound server as a child process, or attaches to one that runs
// already, and talks to it through its command-line interface socket.
//
// In started mode the server is run verbose, loads the modules of its script and no more, cannot
// be told to exit, and dies with the client. Its diagnostic output drives the class: once
// the output says the command-line-interface module was loaded (or failed to load), the CLI
// socket is connected, the server's version is read from its greeting, and started() follows.
// stopped() follows whenever the server process ends, for whatever reason; a server that
// cannot be started or that ends without being asked to is also reported through error()
// with the reason.
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

    // The longest a command exchange waits for the server's prompt.
    static const int CommandTimeoutMs = 2000;
    // The longest stop() waits for the server to end before it kills it.
    static const int StopTimeoutMs = 2000;

    // Attaches to a server that runs already, found through its runtime directory (path, or
    // "pulse" under XDG_RUNTIME_DIR) and its process-id file.
    virtual void connectExisting(const QString &path);
    virtual void start();
    virtual void activateSocket();
    // One exchange on the CLI socket: the command's answer without the prompt. An empty
    // answer when the socket is not connected, or when no prompt came within CommandTimeoutMs.
    virtual QString sendCommand(const QString &command);
    // Ends a server this object started (bounded by StopTimeoutMs); stopped() follows.
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
    QString readAnswer(const QString &command);

    QString m_prompt = QStringLiteral(">>> ");
    bool m_connectExisting = false;
    QTimer m_connectionTimer;
    QLocalSocket m_socket;
    QString m_pulseaudioPath;
    QString m_pulseaudioHome;
    QString m_pulseaudioStatePath;
    QString m_pulseaudioConfig;
    QVersionNumber m_version;
    LineBuffer m_stderrBuffer;
    BoundProcess m_process;

    // State of one run of the server: a failure and the end are each reported once, and an
    // end that stop() asked for is no failure.
    bool m_failureReported = false;
    bool m_stopReported = true;
    bool m_stopping = false;
    QStringList m_errorLines;
};
