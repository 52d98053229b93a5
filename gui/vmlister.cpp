#include "vmlister.h"

#include "acceptedcertificatestore.h"
#include "connectionerrortext.h"
#include "passwordstore.h"

#include <QDebug>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

namespace {
// The keyring's own calls give up after 25 s; the listing does not wait that long for it.
constexpr int keyringBoundMs = 10000;
}

VMLister::VMLister(const ZELConnectionParameters &parameters, const Options &options, QTextStream &out,
                   QTextStream &err)
    : m_parameters(parameters)
    , m_options(options)
    , m_out(out)
    , m_err(err)
{
    connect(&m_session, &ZELClient::connectionEstablished, &m_session, &ZELClient::requestVMList);
    connect(&m_session, &ZELClient::vmListReceived, this, &VMLister::printList);
    connect(&m_session, &ZELClient::sslErrors, this, &VMLister::decideCertificate, Qt::DirectConnection);
    connect(&m_session, &ZELClient::connectionError, this, [this](ZELClient::ConnectionError error, const QString &text) {
        // A broker that never answered is a failed connection, not a refusal.
        fail(error == ZELClient::Timeout ? ConnectionFailed : Refused,
             ConnectionErrorText::title(error) + QStringLiteral(": ") + ConnectionErrorText::description(error, text));
    });
    connect(&m_session, &ZELClient::socketError, this, [this](QAbstractSocket::SocketError) {
        QTcpSocket *socket = m_session.getSocket();
        fail(ConnectionFailed, tr("Failed to connect to %1:%2: %3")
                                   .arg(m_parameters.host())
                                   .arg(m_parameters.port())
                                   .arg(socket ? socket->errorString() : tr("connection failed")));
    });
    connect(&m_session, &ZELClient::connectionTerminated, this, [this] {
        // A session that ends without a list and without a reported error was refused by us.
        if (!m_done)
            fail(CertificateRefused, tr("The connection was closed before the VM list arrived."));
    });
}

int VMLister::run()
{
    if (m_parameters.host().isEmpty()) {
        fail(ConnectionFailed, tr("No server given: use --host."));
        return m_status;
    }
    // Remembered passwords belong to a server and a user: without a user there is none to take.
    if (m_options.rememberedPassword && !m_parameters.username().isEmpty())
        loadRememberedPassword();
    qInfo() << "Listing VMs on" << m_parameters.host() << m_parameters.port();
    m_session.setParameters(m_parameters);
    m_session.connectToZEL();
    while (!m_done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return m_status;
}

void VMLister::loadRememberedPassword()
{
    // What the window remembered for this server and user: a script then names no password
    // where other users of the machine can read it.
    PasswordStore store;
    QEventLoop loop;
    bool answered = false;
    connect(&store, &PasswordStore::loaded, &loop, [&](const QString &, const QString &, const QString &password) {
        m_parameters.setPassword(password);
        answered = true;
        loop.quit();
    });
    connect(&store, &PasswordStore::keyringFailed, this, [this](const QString &reason) {
        warn(tr("warning: the desktop keyring did not answer (%1).").arg(reason));
    });
    store.load(m_parameters.host(), m_parameters.username());
    if (!answered) {
        QTimer::singleShot(keyringBoundMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    // An old entry read on the way moves to its server and user; the store must not go first.
    store.finishPending(keyringBoundMs);
    if (m_parameters.password().isEmpty()) {
        warn(tr("warning: no password remembered for %1 at %2; give one with --password-stdin.")
                 .arg(m_parameters.username(), m_parameters.host()));
    }
}

void VMLister::warn(const QString &message)
{
    qWarning().noquote() << message;
    m_err << message << '\n';
    m_err.flush();
}

void VMLister::decideCertificate(const QList<QSslError> &errors, const QList<QSslCertificate> &chain, bool &accept)
{
    if (m_options.certificates == ContinuePolicy) {
        accept = true;
        return;
    }
    // There is nobody to ask: only a chain the user accepted for good in the window passes.
    accept = AcceptedCertificateStore().isChainAccepted(chain, m_parameters.host());
    if (!accept) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts << error.errorString();
        fail(CertificateRefused, tr("The server's certificate was not accepted: %1").arg(texts.join(QStringLiteral("; "))));
    }
}

void VMLister::printList(const QList<ZELClient::VMInfo> &vms)
{
    m_out << (m_options.json ? listAsJson(vms) : listAsText(vms, m_options.header));
    m_out.flush();
    finish(Listed);
    m_session.disconnectFromZEL();
}

void VMLister::fail(ExitStatus status, const QString &message)
{
    if (m_done)
        return;
    qWarning() << "Listing VMs failed:" << message;
    m_err << message << '\n';
    m_err.flush();
    finish(status);
}

void VMLister::finish(int status)
{
    if (m_done)
        return;
    m_status = status;
    m_done = true;
}

QString VMLister::stateName(int state)
{
    switch (state) {
    case 1:
        return QStringLiteral("starting");
    case 2:
        return QStringLiteral("running");
    default:
        return QStringLiteral("stopped");
    }
}

QString VMLister::listAsText(const QList<ZELClient::VMInfo> &vms, bool header)
{
    int nameWidth = 4;
    for (const ZELClient::VMInfo &vm : vms)
        nameWidth = qMax(nameWidth, vm.name.size());

    QString text;
    const auto row = [&](const QString &id, const QString &name, const QString &state, const QString &blocked) {
        text += id.leftJustified(8) + name.leftJustified(nameWidth + 2) + state.leftJustified(10) + blocked + QLatin1Char('\n');
    };
    if (header)
        row(QStringLiteral("ID"), QStringLiteral("NAME"), QStringLiteral("STATE"), QStringLiteral("BLOCKED"));
    for (const ZELClient::VMInfo &vm : vms)
        row(QString::number(vm.id), vm.name, stateName(vm.state), vm.blocked ? QStringLiteral("yes") : QStringLiteral("no"));
    return text;
}

QString VMLister::listAsJson(const QList<ZELClient::VMInfo> &vms)
{
    QJsonArray array;
    for (const ZELClient::VMInfo &vm : vms) {
        array.append(QJsonObject{{QStringLiteral("id"), vm.id},
                                 {QStringLiteral("name"), vm.name},
                                 {QStringLiteral("state"), stateName(vm.state)},
                                 {QStringLiteral("blocked"), vm.blocked}});
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}
