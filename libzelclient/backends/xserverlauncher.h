#pragma once

#include "backends/xauthority.h"

#include <QObject>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

// Starts the local X server on which nxproxy draws the remote desktop and tells its owner when
// the server accepts connections on 127.0.0.1:6000+display. The server ends with the launcher.
class XServerLauncher : public QObject
{
    Q_OBJECT

public:
    XServerLauncher();
    ~XServerLauncher() override;

    // Launches the server; running() or failed() follows, once.
    void start();

    unsigned short display() const { return m_display; }
    // Whether the server has come up and still runs.
    bool isRunning() const { return m_phase == Phase::Running; }
    // The cookie the server admits clients with; empty while it admits them without one.
    QByteArray cookie() const { return m_authority.cookie(); }
    // Uses this display number instead of choosing one when starting.
    void setDisplay(unsigned short display);

    // The authority file that holds the server's cookie (XAUTHORITY for the session's
    // programs); empty while the server admits clients without one.
    QString authorityFile() const { return m_authority.fileName(); }
    // The display name the session's own programs use (DISPLAY).
    QString clientDisplay() const;

    // The X server program; empty when none was found, and while it is still to be chosen
    // (on a desktop display that has not been looked at yet, start() chooses it).
    QString path() const { return m_path; }
    void setPath(const QString &path);

    // Size of the server's screen (of its window, for a nested server), or the whole desktop.
    void setGeometry(const QSize &geometry) { m_geometry = geometry; }
    void setFullscreen(bool fullscreen) { m_fullscreen = fullscreen; }
    // Title of the server's window, for a nested server; empty leaves the server's own.
    void setTitle(const QString &title) { m_title = title; }

    // A server that does not accept connections (and let the session's user in) within ms of
    // its start is ended and reported as failed.
    void setStartTimeout(int ms) { m_startTimeoutMs = ms; }
    int startTimeout() const { return m_startTimeoutMs; }

    // The first message of an X client (the connection set-up), presenting the authorization
    // when there is one: the server answers it once it serves clients.
    static QByteArray connectionSetupRequest(const QByteArray &authName, const QByteArray &authData);

    // Argument lists of the servers the launcher knows.
    static QStringList vcxsrvArguments(unsigned short display, const QString &logDir);
    static QStringList xvfbArguments(unsigned short display, const QSize &geometry);
    static QStringList xephyrArguments(unsigned short display, const QSize &geometry, bool fullscreen,
                                       const QString &title = QString());

signals:
    void running();
    // The server ended after it had been running.
    void stopped();
    void failed(const QString &error);

private slots:
    void processStarted();
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processError(QProcess::ProcessError error);
    void processStdoutReady();
    void processStderrReady();
    void checkServerIsUp();
    void sendConnectionSetup();
    void serverIsUp();
    void socketError(QAbstractSocket::SocketError error);
    void startTimedOut();

private:
    enum class Phase { Idle, Starting, Running, Ended };
    static constexpr int ProbeIntervalMs = 5;
    // How long a server asked to end may take before it is killed.
    static constexpr int StopGraceMs = 3000;

    // Platform parts: the server program, the display to use and the server's arguments.
    // The program, when it can be told without waiting; false when it cannot.
    static bool knownServer(QString &program);
    // Chooses the program without holding up the caller; serverChosen() follows.
    void chooseServer();
    void serverChosen(const QString &program);
    static QProcess *createProcess(QObject *parent);
    unsigned short chooseDisplay() const;
    // Also makes a new cookie for a server that admits only the clients holding it.
    QStringList serverArguments();
    // Whether the server answering on the display is the one this launcher started (another
    // program may have taken the same display a moment earlier).
    bool answeringServerIsOurs() const;

    // Lets the programs of the user running the session in, without holding up the caller;
    // running() follows once they may connect.
    void admitOwnUser();
    void becomeRunning();

    void launch();
    void fail(const QString &error);

    QString m_path;
    bool m_pathChosen = false;
    QTimer m_timer;
    QTcpSocket m_probe;
    unsigned short m_display = 0;
    QProcess *m_process = nullptr;
    bool m_displaySet = false;
    QSize m_geometry{1024, 768};
    bool m_fullscreen = false;
    QString m_title;
    Phase m_phase = Phase::Idle;
    int m_retriesLeft = 0;
    QTimer m_startTimer;
    int m_startTimeoutMs = 30000;
    int m_probeAttempts = 0;
    XAuthority m_authority;
};
