#include "brokersession.h"

#include "brokerresponse.h"
#include "nxagentvm.h"
#include "tunnelrelay.h"
#include "vmstarter.h"

#include <QDebug>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSslCipher>
#include <QSslSocket>

namespace {

QByteArray randomKey()
{
    QByteArray bytes(16, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return bytes.toHex();
}

} // namespace

BrokerSession::BrokerSession(QSslSocket *socket, BrokerConfig *config, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_config(config)
{
    static quint64 connections = 0;
    m_serial = ++connections;
    m_socket->setParent(this);
    m_peer = QStringLiteral("[%1:%2]").arg(socket->peerAddress().toString()).arg(socket->peerPort());

    connect(m_socket, &QSslSocket::encrypted, this, &BrokerSession::socket_encrypted);
    connect(m_socket, &QSslSocket::disconnected, this, &BrokerSession::socket_disconnected);
    connect(m_socket, &QSslSocket::readyRead, this, &BrokerSession::socket_readyRead);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        qInfo().noquote() << m_peer << "socket:" << m_socket->errorString();
        // A peer that does not speak TLS is not kept until the handshake time-out.
        if (m_state == State::Handshake && error != QAbstractSocket::RemoteHostClosedError) {
            m_socket->abort();
            finish();
        }
    });
    connect(m_socket, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), this,
            [this](const QList<QSslError> &errors) {
                for (const QSslError &error : errors)
                    qWarning().noquote() << m_peer << "TLS:" << error.errorString();
            });

    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &BrokerSession::handshake_timeout);
    m_handshakeTimer.start(HandshakeTimeoutMs);
    m_processingTimer.setSingleShot(true);
    connect(&m_processingTimer, &QTimer::timeout, this, &BrokerSession::processing_timeout);

    qInfo().noquote() << m_peer << "connection accepted";
    m_socket->startServerEncryption();
}

BrokerSession::~BrokerSession() = default;

void BrokerSession::shutdown()
{
    if (m_relay)
        m_relay->abort();
    cleanUpConnect();
    m_socket->abort();
    finish();
}

void BrokerSession::socket_encrypted()
{
    m_handshakeTimer.stop();
    m_state = State::ReadingRequest;
    qInfo().noquote() << m_peer << "TLS established," << m_socket->sessionCipher().protocolString()
                      << m_socket->sessionCipher().name();
    processInput();
}

void BrokerSession::handshake_timeout()
{
    if (m_state != State::Handshake)
        return;
    qWarning().noquote() << m_peer << "no TLS handshake within" << HandshakeTimeoutMs << "ms; closing";
    m_socket->abort();
    finish();
}

void BrokerSession::socket_disconnected()
{
    if (m_state == State::Tunnel)
        return; // the relay finishes the session
    qInfo().noquote() << m_peer << "connection closed";
    if (m_state == State::Busy) {
        cleanUpConnect();
        if (BrokerConfig::Vm *vm = m_config->vm(m_vmId))
            vm->state = m_vmStateBefore;
    }
    finish();
}

void BrokerSession::socket_readyRead()
{
    if (m_state == State::ReadingRequest)
        processInput();
}

void BrokerSession::processInput()
{
    while (m_state == State::ReadingRequest) {
        if (!m_socket->canReadLine()) {
            if (m_socket->bytesAvailable() > MaxLineLength)
                reject(400, QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
            return;
        }
        const QByteArray line = m_socket->readLine(MaxLineLength + 2);
        if (!line.endsWith('\n')) {
            reject(400, QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
            return;
        }
        m_headLength += line.size();
        if (m_headLength > MaxHeadLength) {
            reject(400, QStringLiteral("request head longer than %1 bytes").arg(MaxHeadLength));
            return;
        }
        switch (m_request.addLine(line)) {
        case BrokerRequest::Progress::NeedMore:
            break;
        case BrokerRequest::Progress::Malformed:
            if (!m_request.requestLine().isEmpty())
                qInfo().noquote() << m_peer << "received:" << BrokerRequest::printable(m_request.requestLine());
            reject(400, m_request.error());
            return;
        case BrokerRequest::Progress::Complete:
            handleRequest();
            m_request = BrokerRequest();
            m_headLength = 0;
            break;
        }
    }
}

void BrokerSession::logRequest() const
{
    qInfo().noquote() << m_peer << "received:" << BrokerRequest::printable(m_request.requestLine());
    for (const BrokerRequest::Header &header : m_request.headers()) {
        const QString value = header.name == "Authorization"
            ? RequestChecker::maskedAuthorization(header.value)
            : BrokerRequest::printable(header.value);
        qInfo().noquote() << m_peer << "  " + BrokerRequest::printable(header.name) + ": " + value;
    }
}

void BrokerSession::handleRequest()
{
    logRequest();
    const RequestChecker::Endpoint endpoint = RequestChecker::endpointOf(m_request.path());
    if (endpoint == RequestChecker::Endpoint::Unknown) {
        answer(404, BrokerResponse::text(404, "No such broker request: " + m_request.path()));
        return;
    }
    if (m_request.method() != "GET") {
        answer(405, BrokerResponse::text(405, "Broker requests use GET", {{"Allow", "GET"}}));
        return;
    }
    RequestChecker::Facts facts;
    const QString why = RequestChecker::check(m_request, endpoint, &facts);
    if (!why.isEmpty()) {
        reject(400, why);
        return;
    }
    for (const auto &variable : qAsConst(facts.environment))
        qInfo().noquote() << m_peer << "  environment" << variable.first + QLatin1Char('=') + variable.second;

    const BrokerConfig::User *user = m_config->user(facts.user);
    if (!user || !m_config->authenticate(*user, facts.secret, m_serial)) {
        qWarning().noquote() << m_peer << "authentication failed for user"
                             << BrokerRequest::printable(facts.user.toUtf8());
        answer(401, BrokerResponse::text(401, "Wrong user name or password",
                                         {{"WWW-Authenticate", "Basic realm=\"ZEL\""}}));
        return;
    }
    if (const BrokerConfig::Override *override = m_config->overrideFor(*user, QString::fromUtf8(m_request.path()))) {
        qInfo().noquote() << m_peer << "configured answer for" << QString::fromUtf8(m_request.path());
        answerOverride(*override);
        return;
    }

    switch (endpoint) {
    case RequestChecker::Endpoint::VmList:
        answerVmList(*user);
        break;
    case RequestChecker::Endpoint::ConnectToVm:
        beginConnect(*user, facts.vmId);
        break;
    case RequestChecker::Endpoint::StopVm:
        stopVm(*user, facts.vmId);
        break;
    case RequestChecker::Endpoint::Ping:
        answer(200, BrokerResponse::text(200, "pong"));
        break;
    case RequestChecker::Endpoint::Printer:
        answer(200, BrokerResponse::text(200, "No print jobs"));
        break;
    case RequestChecker::Endpoint::Unknown:
        break;
    }
}

void BrokerSession::answer(int status, const QByteArray &bytes)
{
    qInfo().noquote() << m_peer << "answered" << status << QString::fromLatin1(BrokerResponse::reasonPhrase(status));
    m_socket->write(bytes);
}

void BrokerSession::reject(int status, const QString &why)
{
    qWarning().noquote() << m_peer << "bad request:" << why;
    m_socket->write(BrokerResponse::text(status, "Bad request: " + why.toUtf8(), {{"Connection", "close"}}));
    qInfo().noquote() << m_peer << "answered" << status << QString::fromLatin1(BrokerResponse::reasonPhrase(status))
                      << "and closes the connection";
    m_state = State::Closing;
    m_socket->disconnectFromHost();
}

void BrokerSession::answerOverride(const BrokerConfig::Override &override)
{
    QByteArray body = override.body;
    QByteArray contentType = override.contentType.isEmpty() ? QByteArray("text/plain; charset=utf-8")
                                                            : override.contentType;
    if (!override.hasBody)
        body = "Status " + QByteArray::number(override.status) + " configured for this request\n";
    answer(override.status,
           BrokerResponse::build(override.status, override.reason, {{"Content-Type", contentType}}, body));
}

void BrokerSession::answerVmList(const BrokerConfig::User &user)
{
    QJsonArray list;
    for (const BrokerConfig::Vm *vm : m_config->vmsOf(user)) {
        QJsonObject entry;
        entry.insert(QStringLiteral("id"), vm->id);
        entry.insert(QStringLiteral("name"), vm->name);
        entry.insert(QStringLiteral("state"), vm->state);
        entry.insert(QStringLiteral("blocked"), vm->blocked);
        list.append(entry);
    }
    answer(200, BrokerResponse::json(200, QJsonDocument(list).toJson(QJsonDocument::Compact)));
}

void BrokerSession::beginConnect(const BrokerConfig::User &user, int vmId)
{
    BrokerConfig::Vm *vm = m_config->vm(vmId);
    if (!vm || !(user.allVms || user.vms.contains(vmId))) {
        answer(404, BrokerResponse::text(404, "No VM " + QByteArray::number(vmId) + " for this user"));
        return;
    }
    if (vm->blocked) {
        answer(403, BrokerResponse::text(403, "VM " + QByteArray::number(vmId) + " is blocked"));
        return;
    }

    m_state = State::Busy;
    m_vmId = vmId;
    m_vmStateBefore = vm->state;
    switch (vm->slaveKeyMode) {
    case BrokerConfig::SlaveKeyMode::Random:
        m_slaveKey = randomKey();
        break;
    case BrokerConfig::SlaveKeyMode::Fixed:
        m_slaveKey = vm->slaveKey;
        break;
    case BrokerConfig::SlaveKeyMode::None:
        m_slaveKey.clear();
        break;
    }
    if (vm->state != QLatin1String("running"))
        vm->state = QStringLiteral("starting");
    m_processingWanted = vm->processingResponses;
    m_processingIntervalMs = vm->processingIntervalMs;
    m_processingSent = 0;
    m_endpointReady = false;
    qInfo().noquote() << m_peer << "connecting VM" << vmId << QStringLiteral("\"%1\"").arg(vm->name)
                      << "for user" << user.name;

    m_starter = new VmStarter(this);
    connect(m_starter, &VmStarter::ready, this, &BrokerSession::starter_ready);
    connect(m_starter, &VmStarter::failed, this, &BrokerSession::starter_failed);
    connect(m_starter, &VmStarter::takenOver, this, &BrokerSession::starter_takenOver);
    m_starter->start(*vm, m_slaveKey, user.name);
    if (m_processingWanted > 0)
        sendProcessing();
    else
        // Even without configured interim answers the client hears, once a second, that a
        // VM which takes its time is still starting.
        m_processingTimer.start(qMax(m_processingIntervalMs, 1000));
}

void BrokerSession::stopVm(const BrokerConfig::User &user, int vmId)
{
    BrokerConfig::Vm *vm = m_config->vm(vmId);
    if (!vm || !(user.allVms || user.vms.contains(vmId))) {
        answer(404, BrokerResponse::text(404, "No VM " + QByteArray::number(vmId) + " for this user"));
        return;
    }
    vm->state = QStringLiteral("stopped");
    const QList<NxAgentVm *> running = NxAgentVm::stopAll(vmId);
    if (running.isEmpty()) {
        answerStopped(vmId);
        return;
    }
    // The answer waits until every running instance of the VM has really ended.
    qInfo().noquote() << m_peer << "stopping" << running.size() << "running instance(s) of VM" << vmId;
    m_state = State::Stopping;
    m_stopsPending = running.size();
    for (NxAgentVm *instance : running) {
        connect(instance, &QObject::destroyed, this, [this, vmId]() {
            if (--m_stopsPending > 0 || m_state != State::Stopping)
                return;
            answerStopped(vmId);
            m_state = State::ReadingRequest;
            QTimer::singleShot(0, this, &BrokerSession::processInput);
        });
    }
}

void BrokerSession::answerStopped(int vmId)
{
    qInfo().noquote() << m_peer << "VM" << vmId << "stopped";
    QJsonObject result;
    result.insert(QStringLiteral("id"), vmId);
    result.insert(QStringLiteral("state"), QStringLiteral("stopped"));
    answer(200, BrokerResponse::json(200, QJsonDocument(result).toJson(QJsonDocument::Compact)));
}

void BrokerSession::sendProcessing()
{
    m_socket->write(BrokerResponse::processing());
    ++m_processingSent;
    qInfo().noquote() << m_peer << "answered 102 Processing" << QStringLiteral("(%1 of %2)")
                                                                    .arg(m_processingSent)
                                                                    .arg(m_processingWanted);
    maybeUpgrade();
    if (m_state != State::Busy)
        return;
    // Past the configured count the VM is still not reachable: keep the client informed.
    m_processingTimer.start(m_processingSent < m_processingWanted ? m_processingIntervalMs
                                                                  : qMax(m_processingIntervalMs, 1000));
}

void BrokerSession::processing_timeout()
{
    if (m_state == State::Busy)
        sendProcessing();
}

void BrokerSession::starter_ready(const QString &host, quint16 port)
{
    if (m_state != State::Busy)
        return;
    m_endpointName = QStringLiteral("%1:%2").arg(host).arg(port);
    m_endpoint = new QTcpSocket(this);
    connect(m_endpoint, &QTcpSocket::connected, this, &BrokerSession::endpoint_connected);
    connect(m_endpoint, &QTcpSocket::errorOccurred, this, &BrokerSession::endpoint_failed);
    connect(m_endpoint, &QTcpSocket::disconnected, this, &BrokerSession::endpoint_failed);
    m_endpoint->connectToHost(host, port);
}

void BrokerSession::starter_failed(const QString &text)
{
    if (m_state == State::Busy)
        failConnect(text);
}

void BrokerSession::starter_takenOver()
{
    qInfo().noquote() << m_peer << "VM" << m_vmId << "is resumed by another connection; this one is closed";
    if (m_relay)
        m_relay->abort();
    else if (m_state == State::Busy)
        failConnect(QStringLiteral("VM %1 was taken by another connection").arg(m_vmId));
}

void BrokerSession::cutTunnel(bool stall)
{
    if (m_state != State::Tunnel || !m_relay)
        return;
    qInfo().noquote() << m_peer << (stall ? "stalling" : "closing") << "the tunnel of VM" << m_vmId << "on request";
    if (stall)
        m_relay->stall();
    else
        m_relay->abort();
}

void BrokerSession::endpoint_connected()
{
    if (m_state != State::Busy)
        return;
    qInfo().noquote() << m_peer << "connected to the VM display at" << m_endpointName;
    m_endpointReady = true;
    maybeUpgrade();
}

void BrokerSession::endpoint_failed()
{
    if (m_state != State::Busy || !m_endpoint)
        return;
    failConnect(QStringLiteral("Cannot reach the VM display at %1: %2").arg(m_endpointName, m_endpoint->errorString()));
}

void BrokerSession::maybeUpgrade()
{
    if (m_state != State::Busy || m_processingSent < m_processingWanted || !m_endpointReady)
        return;
    m_processingTimer.stop();
    disconnect(m_endpoint, nullptr, this, nullptr);
    disconnect(m_socket, &QSslSocket::readyRead, this, &BrokerSession::socket_readyRead);
    m_socket->write(BrokerResponse::switching(m_slaveKey));
    // The slave key is the credential of the VM's slave service: the log says only whether one was sent.
    qInfo().noquote() << m_peer << "answered 101 Switching Protocols"
                      << (m_slaveKey.isEmpty() ? QStringLiteral("without a slave key")
                                               : QStringLiteral("with a slave key (%1 characters)").arg(m_slaveKey.size()));
    if (BrokerConfig::Vm *vm = m_config->vm(m_vmId))
        vm->state = QStringLiteral("running");
    m_state = State::Tunnel;
    m_relay = new TunnelRelay(m_socket, m_endpoint, this);
    connect(m_relay, &TunnelRelay::finished, this, &BrokerSession::relay_finished);
    qInfo().noquote() << m_peer << "relaying the tunnel of VM" << m_vmId << "to" << m_endpointName;
    m_relay->start();
}

void BrokerSession::failConnect(const QString &why)
{
    qWarning().noquote() << m_peer << "VM" << m_vmId << "cannot be connected:" << why;
    cleanUpConnect();
    if (BrokerConfig::Vm *vm = m_config->vm(m_vmId))
        vm->state = m_vmStateBefore;
    answer(502, BrokerResponse::text(502, why.toUtf8()));
    m_state = State::ReadingRequest;
    QTimer::singleShot(0, this, &BrokerSession::processInput);
}

void BrokerSession::cleanUpConnect()
{
    m_processingTimer.stop();
    if (m_starter) {
        m_starter->stop();
        m_starter->deleteLater();
        m_starter = nullptr;
    }
    if (m_endpoint && !m_relay) {
        disconnect(m_endpoint, nullptr, this, nullptr);
        m_endpoint->abort();
        m_endpoint->deleteLater();
        m_endpoint = nullptr;
    }
    m_endpointReady = false;
}

void BrokerSession::relay_finished()
{
    qInfo().noquote() << m_peer << "tunnel of VM" << m_vmId << "closed:" << m_relay->clientToEndpoint()
                      << "bytes to the VM," << m_relay->endpointToClient() << "bytes from the VM";
    // A VM started for this connection ends with its tunnel, unless it keeps its session.
    if (m_starter)
        m_starter->stop();
    if (BrokerConfig::Vm *vm = m_config->vm(m_vmId)) {
        if (vm->startsAgent && vm->resumeSeconds == 0)
            vm->state = QStringLiteral("stopped");
    }
    finish();
}

void BrokerSession::finish()
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    m_handshakeTimer.stop();
    m_processingTimer.stop();
    emit finished();
}
