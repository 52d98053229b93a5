#pragma once

#include "zelclient.h"
#include "zelclient_export.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QTimer>

// Keeps a remote desktop across a network drop. The session client reports a drop (the link
// to the VM broke while the desktop was up, without the session's orderly end); the keeper
// then logs in to the broker again with the credentials of this run, connects the same VM
// and lets the backend start a new proxy against the same local X server, so that the same
// session comes back. Attempts follow each other after 1, 2, 4 ... up to 30 s, until the
// session is back, the time allowed has passed, the broker refuses the credentials (the
// keeper then waits for new ones) or the user cancels. The window only reports to it and
// shows what it says.
class ZELCLIENT_EXPORT SessionKeeper : public QObject
{
    Q_OBJECT

public:
    explicit SessionKeeper(ZELClient *client, QObject *parent = nullptr);

    // How long after a drop the session is tried again, in seconds; 0 turns resuming off.
    void setResumeSeconds(int seconds) { m_resumeSeconds = qMax(0, seconds); }
    int resumeSeconds() const { return m_resumeSeconds; }

    // The VM the client is about to connect: should its session drop once its desktop is up,
    // it is resumed. Tells the client's backend to keep its display on a drop.
    void watch(int vmId, const QString &vmName);
    // From a drop until the session is back, given up or cancelled: the client's signals are
    // the keeper's to act on meanwhile.
    bool isResuming() const { return m_phase != Phase::Watching && m_phase != Phase::Idle; }
    // The broker refused the credentials; the keeper waits for resumeWith() or cancel().
    bool needsCredentials() const { return m_phase == Phase::NeedsCredentials; }
    QString vmName() const { return m_vmName; }

    // Tries again at once with these credentials, after credentialsNeeded().
    void resumeWith(const QString &password, const QString &secondFactor);
    // Ends the resume and the session; the client's connectionTerminated() follows.
    void cancel();

    // Seconds to wait before the given attempt (the first is 1): 1, 2, 4 ... then 30.
    static int delayBeforeAttempt(int attempt);
    static constexpr int LongestDelaySeconds = 30;

signals:
    // The session of the VM dropped and is being resumed.
    void dropped(const QString &vmName, const QString &reason);
    // Attempt number attempt comes in secondsToNext seconds (0: it is under way). Sent when
    // the number changes and every second while waiting.
    void progress(const QString &vmName, int attempt, int secondsToNext);
    void resumed(const QString &vmName);
    // The broker refused the credentials of this run. secondFactor: a one-time code was part
    // of them, and a new one is needed.
    void credentialsNeeded(const QString &vmName, bool secondFactor, const QString &text);
    // The session could not be resumed (time allowed passed, certificate changed) or the user
    // cancelled (text empty); the session has ended.
    void gaveUp(const QString &text);

private:
    enum class Phase { Idle, Watching, Waiting, Attempting, NeedsCredentials };

    void client_connectionLost(const QString &reason);
    void client_connectionEstablished();
    void client_vmConnected();
    void client_connectionError(ZELClient::ConnectionError error, const QString &text);
    void client_connectionTerminated();
    void client_sslErrors(const QList<QSslError> &errors, const QList<QSslCertificate> &chain, bool &accept);

    void scheduleNextAttempt();
    void startAttempt();
    void attemptFailed(const QString &why);
    void tick();
    void deadlinePassed();
    // Ends the session: the client's connectionTerminated() comes first, then gaveUp(text).
    void end(const QString &text);
    int secondsToNextAttempt() const;

    QPointer<ZELClient> m_client;
    int m_resumeSeconds = 300;
    int m_vmId = 0;
    QString m_vmName;
    // The broker's certificates as the watched session accepted them: a resume accepts these
    // and no others.
    QList<QSslCertificate> m_brokerChain;
    Phase m_phase = Phase::Idle;
    int m_attempt = 0;
    QString m_lastFailure;
    // Why the attempt under way must be the last one; empty while it need not.
    QString m_refusal;
    QTimer m_attemptTimer;
    QTimer m_ticker;
    QTimer m_deadline;
    QElapsedTimer m_sinceDrop;
};
