#include "sessionkeeper.h"

#include "zelbackend.h"

#include <QDebug>
#include <QSslSocket>

namespace {

const int TickMs = 1000;

} // namespace

SessionKeeper::SessionKeeper(ZELClient *client, QObject *parent)
    : QObject(parent)
    , m_client(client)
{
    m_attemptTimer.setSingleShot(true);
    connect(&m_attemptTimer, &QTimer::timeout, this, &SessionKeeper::startAttempt);
    m_ticker.setInterval(TickMs);
    connect(&m_ticker, &QTimer::timeout, this, &SessionKeeper::tick);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SessionKeeper::deadlinePassed);

    connect(client, &ZELClient::connectionLost, this, &SessionKeeper::client_connectionLost);
    connect(client, &ZELClient::connectionEstablished, this, &SessionKeeper::client_connectionEstablished);
    connect(client, &ZELClient::vmConnected, this, &SessionKeeper::client_vmConnected);
    connect(client, &ZELClient::connectionError, this, &SessionKeeper::client_connectionError);
    connect(client, &ZELClient::connectionTerminated, this, &SessionKeeper::client_connectionTerminated);
    connect(client, &ZELClient::socketError, this, [this]() {
        if (m_phase == Phase::Attempting && m_client->getSocket())
            m_lastFailure = m_client->getSocket()->errorString();
    });
    // Answered inside the emission, like every receiver of this signal.
    connect(client, &ZELClient::sslErrors, this, &SessionKeeper::client_sslErrors, Qt::DirectConnection);
}

int SessionKeeper::delayBeforeAttempt(int attempt)
{
    if (attempt <= 1)
        return 1;
    // Doubling stops well before it could overflow.
    if (attempt > 6)
        return LongestDelaySeconds;
    return qMin(1 << (attempt - 1), LongestDelaySeconds);
}

void SessionKeeper::watch(int vmId, const QString &vmName)
{
    m_vmId = vmId;
    m_vmName = vmName;
    m_phase = Phase::Watching;
    m_attempt = 0;
    m_brokerChain.clear();
    if (auto *socket = qobject_cast<QSslSocket *>(m_client->getSocket()))
        m_brokerChain = socket->peerCertificateChain();
    if (ZELBackend *backend = m_client->getBackend())
        backend->setKeepDisplayOnLinkLoss(m_resumeSeconds > 0);
}

void SessionKeeper::client_connectionLost(const QString &reason)
{
    if (m_phase != Phase::Watching || m_resumeSeconds <= 0) {
        // Nobody resumes it: the session is over.
        qInfo() << "The link to the VM was lost and the session is not resumed";
        m_phase = Phase::Idle;
        m_client->disconnectFromZEL();
        return;
    }
    qWarning().noquote().nospace() << "The session of VM " << m_vmName << " (id " << m_vmId << ") was lost (" << reason
                                   << "); resuming it for up to " << m_resumeSeconds << " s";
    m_attempt = 0;
    m_lastFailure = reason;
    m_sinceDrop.start();
    m_deadline.start(m_resumeSeconds * 1000);
    emit dropped(m_vmName, reason);
    scheduleNextAttempt();
}

void SessionKeeper::scheduleNextAttempt()
{
    m_phase = Phase::Waiting;
    const int delay = delayBeforeAttempt(m_attempt + 1);
    m_attemptTimer.start(delay * 1000);
    m_ticker.start();
    emit progress(m_vmName, m_attempt + 1, delay);
}

int SessionKeeper::secondsToNextAttempt() const
{
    if (!m_attemptTimer.isActive())
        return 0;
    return (m_attemptTimer.remainingTime() + 999) / 1000;
}

void SessionKeeper::tick()
{
    if (m_phase != Phase::Waiting) {
        m_ticker.stop();
        return;
    }
    emit progress(m_vmName, m_attempt + 1, secondsToNextAttempt());
}

void SessionKeeper::startAttempt()
{
    if (m_phase != Phase::Waiting)
        return;
    m_ticker.stop();
    m_phase = Phase::Attempting;
    ++m_attempt;
    qInfo().noquote().nospace() << "Reconnect attempt " << m_attempt << " to VM " << m_vmName << ", "
                                << m_sinceDrop.elapsed() << " ms after the drop";
    emit progress(m_vmName, m_attempt, 0);
    // The client keeps this run's credentials in memory: the same login, with no question.
    m_client->connectToZEL();
}

void SessionKeeper::client_connectionEstablished()
{
    if (m_phase != Phase::Attempting)
        return;
    qInfo().noquote() << "Reconnect attempt" << m_attempt << ": logged in; connecting VM" << m_vmId;
    // A failed attempt ended the session as far as the backend knew: it keeps its display
    // again should this one drop too.
    if (ZELBackend *backend = m_client->getBackend())
        backend->setKeepDisplayOnLinkLoss(true);
    // The VM the session was of, without asking which.
    m_client->connectToVM(m_vmId);
}

void SessionKeeper::client_vmConnected()
{
    if (m_phase != Phase::Attempting)
        return;
    qInfo().noquote().nospace() << "The session of VM " << m_vmName << " was resumed at attempt " << m_attempt
                                << ", " << m_sinceDrop.elapsed() << " ms after the drop";
    m_deadline.stop();
    m_phase = Phase::Watching;
    emit resumed(m_vmName);
}

void SessionKeeper::client_connectionError(ZELClient::ConnectionError error, const QString &text)
{
    if (m_phase != Phase::Attempting)
        return;
    if (error != ZELClient::AuthenticationError) {
        m_lastFailure = text;
        return;
    }
    // Trying the same credentials again would only be refused again (or lock the account).
    const bool secondFactor = !m_client->getParameters().secondFactor().isEmpty();
    qWarning().noquote() << "Reconnect attempt" << m_attempt << ": the broker refused the credentials;"
                         << (secondFactor ? "a new second factor is needed" : "the password is needed");
    m_deadline.stop();
    m_attemptTimer.stop();
    m_phase = Phase::NeedsCredentials;
    emit credentialsNeeded(m_vmName, secondFactor, text);
}

void SessionKeeper::client_connectionTerminated()
{
    if (m_phase == Phase::Watching) {
        // The session ended for good (the VM's end, or the user's): nothing is resumed now.
        m_phase = Phase::Idle;
        return;
    }
    if (m_phase != Phase::Attempting)
        return;
    if (!m_refusal.isEmpty()) {
        // Ended from the event loop: the client is still inside its own teardown here.
        m_phase = Phase::Waiting;
        const QString text = m_refusal;
        m_refusal.clear();
        QTimer::singleShot(0, this, [this, text]() {
            if (isResuming())
                end(text);
        });
        return;
    }
    attemptFailed(m_lastFailure);
}

void SessionKeeper::attemptFailed(const QString &why)
{
    qInfo().noquote().nospace() << "Reconnect attempt " << m_attempt << " failed" << (why.isEmpty() ? QString() : ": " + why)
                                << "; next in " << delayBeforeAttempt(m_attempt + 1) << " s";
    scheduleNextAttempt();
}

void SessionKeeper::client_sslErrors(const QList<QSslError> &, const QList<QSslCertificate> &chain, bool &accept)
{
    if (m_phase != Phase::Attempting)
        return;
    // Whoever answers during a drop is taken for the broker only with the certificates the
    // user accepted for this session: anything else ends the resume rather than asking.
    accept = !chain.isEmpty() && chain == m_brokerChain;
    if (accept)
        return;
    qWarning() << "Reconnect attempt" << m_attempt << ": the broker's certificate is not the one of the session";
    // The client closes the connection, and the resume ends then.
    m_refusal = tr("The connection to %1 was lost, and the server that answered presented another certificate: "
                   "the session was not resumed.")
                    .arg(m_vmName);
}

void SessionKeeper::resumeWith(const QString &password, const QString &secondFactor)
{
    if (m_phase != Phase::NeedsCredentials)
        return;
    ZELConnectionParameters parameters = m_client->getParameters();
    parameters.setPassword(password);
    parameters.setSecondFactor(secondFactor);
    m_client->setParameters(parameters);
    qInfo().noquote() << "New credentials given; resuming VM" << m_vmName;
    m_deadline.start(m_resumeSeconds * 1000);
    m_phase = Phase::Waiting;
    m_attemptTimer.stop();
    startAttempt();
}

void SessionKeeper::deadlinePassed()
{
    if (!isResuming())
        return;
    qWarning().noquote().nospace() << "Giving up resuming VM " << m_vmName << " after " << m_attempt << " attempts in "
                                   << m_resumeSeconds << " s" << (m_lastFailure.isEmpty() ? QString() : "; last: " + m_lastFailure);
    QString text =
        tr("The connection to %1 was lost and could not be restored within %2 seconds.").arg(m_vmName).arg(m_resumeSeconds);
    if (!m_lastFailure.isEmpty())
        text += QLatin1Char('\n') + tr("Last attempt: %1").arg(m_lastFailure);
    end(text);
}

void SessionKeeper::cancel()
{
    if (!isResuming())
        return;
    qInfo().noquote() << "Resuming VM" << m_vmName << "cancelled by the user";
    end(QString());
}

void SessionKeeper::end(const QString &text)
{
    m_phase = Phase::Idle;
    m_attemptTimer.stop();
    m_ticker.stop();
    m_deadline.stop();
    // Whatever the last attempt had opened closes, and the session ends as any other does.
    m_client->disconnectFromZEL();
    emit gaveUp(text);
}
