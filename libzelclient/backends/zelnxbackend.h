#pragma once

#include "backends/lastpicture.h"
#include "backends/xserverlauncher.h"
#include "linebuffer.h"
#include "zelbackend.h"
#include "zelclient_export.h"
#include "zelconnectionparameters.h"

#include <QAbstractSocket>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;
class SocketForwarder;

// Carries the remote desktop over the broker tunnel: starts the local X server, runs nxproxy
// against a loopback listener, pumps bytes between nxproxy's connection and the tunnel, and
// turns nxproxy's status lines into backend signals. The listener takes one connection, made by
// the session's own user (nxproxy's), and then stops listening; any other is closed at once.
//
// Once the desktop is up, the end of the link is judged: nxproxy reporting the session's
// orderly end is the session's end; the tunnel or nxproxy ending without it, or nothing from
// the VM for the link bound, is a drop. With the display kept for a resume (ZELBackend), a drop
// keeps the X server with the last picture on it and is reported as linkLost(); start() with a
// new tunnel then runs a new nxproxy against the same X server.
class ZELCLIENT_EXPORT ZELNXBackend : public ZELBackend
{
    Q_OBJECT

public:
    explicit ZELNXBackend(QObject *parent = nullptr);
    ~ZELNXBackend() override;

    QString nxproxyBinary() const;
    void setNxproxyBinary(const QString &path);

    // The backend's own parameter copy, set by the program; nxproxy's extra arguments come
    // from here, printing and sound from the copy the session client sets on the base.
    ZELConnectionParameters getParameters() const;
    void setParameters(const ZELConnectionParameters &parameters);

    void start(QTcpSocket *socket) override;
    // Ends nxproxy and the forwarding, without waiting for nxproxy to go; finished() follows at
    // once when a run was under way. The X server stays until the backend is destroyed.
    void stop() override;
    int64_t bytesRead() override;
    int64_t bytesWritten() override;

    // The longest nxproxy may take from its start to the established session; then the run is
    // given up with failed(CommunicationFailure) and finished().
    void setEstablishTimeout(int ms) { m_establishTimeoutMs = ms; }
    int establishTimeout() const { return m_establishTimeoutMs; }

    // The local X server; its display may be fixed before start().
    XServerLauncher &xServerLauncher() { return m_launcher; }
    // Title of the window in which a nested local X server shows the remote desktop.
    void setDesktopTitle(const QString &title);

    // nxproxy's argument list, display argument included; a link timeout of 0 leaves nxproxy's own.
    static QStringList proxyArguments(unsigned short slavePort, bool printing, unsigned short smbPort, bool audio,
                                      unsigned short audioPort, const QString &extraArgs, int display,
                                      int linkTimeoutSeconds = 0);
    // nxproxy's bound on silence from the VM (its own default is 120 s): half of it without a
    // word from the VM is a drop, noticed by nxproxy's warning.
    static constexpr int LinkTimeoutSeconds = 20;
    // The kernel's bounds on the tunnel: probes after this much silence, this many of them ...
    static constexpr int KeepAliveIdleSeconds = 5;
    static constexpr int KeepAliveProbes = 3;
    // ... and data left unacknowledged this long ends the connection.
    static constexpr int UnacknowledgedLimitMs = 20000;
    // The variable that tells the dialog program nxproxy starts (NX_CLIENT) that the session
    // resumes after a drop, so that nxproxy's questions about the lost link need no answer
    // from the user.
    static const char *const ResumingVariable;
    // nxproxy numbers its displays from this port: display N is port offset + N.
    static constexpr int portOffset = 4000;
    // A listener at or below the port offset has no display number: listen elsewhere, above it.
    // Returns false when the server does not listen afterwards.
    static bool moveAboveOffset(QTcpServer &server, int offset);
    // The channel named in a status line ("slave", "X11", ...), in any letter case.
    static NXChannel channelFromName(const QString &name);

    // Runs a chunk of nxproxy's standard error through the status parser: every line it
    // completes is matched, then standardError() carries the chunk.
    void parseStandardError(const QByteArray &data);

private slots:
    void connectionAccepted();
    void processStarted();
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processError(QProcess::ProcessError error);
    void processStdoutReady();
    void processStderrReady();
    void XServerReady();
    void XServerFailed(const QString &error);
    void forwarderTransferred(int64_t a_to_b, int64_t b_to_a);
    void tunnelEnded();
    void tunnelFailed(QAbstractSocket::SocketError error);
    void tunnelClosed();
    void establishTimedOut();

private:
    void handleLine(const QString &line);
    void handleForwarding(NXChannel channel, const QString &kind, const QString &target, const QString &line);
    void handleListening(NXChannel channel, const QString &target, const QString &line);
    // Whether the socket listening on the audio port is the user's own: only then is nxproxy
    // told to pass the VM's sound to it. Says in the log why not.
    bool soundServerIsTheUsers() const;
    // Whether the proxy run that ends now is a drop to resume from, rather than an end.
    bool isDrop() const;
    // The link is gone: the picture is kept and nxproxy ended; linkLost() follows its exit.
    void dropLink(const QString &reason);
    void keepLastPicture();
    void reportDrop();
    // Reports the end of the proxy run: a failure (if any), then finished(), each once.
    void end(bool failure, BackendError error, const QString &description);
    // A process for the next run of nxproxy, connected to this backend.
    QProcess *createProcess();

    QString m_nxproxyPath;
    // The session client owns the tunnel and may release it at any time.
    QPointer<QTcpSocket> m_socket;
    SocketForwarder *m_forwarder = nullptr;
    QTcpServer m_server;
    ZELConnectionParameters m_parameters;
    XServerLauncher m_launcher;
    // What the X server shows while the link to the VM is down.
    LastPicture m_lastPicture;
    // This proxy run: the remote desktop came up; the link failed (with what nxproxy said);
    // nxproxy reported the session's orderly end.
    bool m_established = false;
    QString m_linkFailure;
    bool m_orderlyEnd = false;
    // nxproxy is being ended because the link is gone.
    bool m_dropping = false;
    LineBuffer m_stderrLines;
    int m_portOffset = portOffset;
    // nxproxy of the current run; a run that is over hands it to the ProcessReaper.
    QProcess *m_process = nullptr;
    QTimer m_establishTimer;
    int m_establishTimeoutMs = 60000;
    // The current proxy run has been reported as ended.
    bool m_ended = true;
    // The proxy died from a signal; its exit reports the crash.
    bool m_crashed = false;
    // The tunnel closed before nxproxy connected, or the owner stopped the backend: the attempt
    // is over, and an X server that comes up now starts no proxy.
    bool m_attemptOver = false;
};
