#include "zelclient.h"

#include "pulseaudio/soundrelay.h"
#include "slaveclient/commands/connectaudio.h"
#include "slaveclient/commands/exportedusbdevice.h"
#include "slaveclient/commands/shareusbdevice.h"
#include "slaveclient/commands/slavesharefolderwithvm.h"
#include "tlswarmup.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"
#include "zelslaveclient.h"
#include "zelslavecommand.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSettings>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QUrlQuery>

namespace {

const char *const PlaceholderBase = "https://localhost/";

QString flag(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// An empty value is still written as "key=": a null one would lose its "=" in the query.
QString queryValue(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

QUrl brokerUrl(const QString &path)
{
    QUrl url(QString::fromLatin1(PlaceholderBase));
    url.setPath(path);
    return url;
}

} // namespace

ZELClient::ZELClient(QObject *parent)
    : QObject(parent)
    , m_slaveRequestTimeoutMs(ZELSlaveCommand::DefaultRequestTimeoutMs)
{
    qRegisterMetaType<ZELClient::ConnectionError>("ZELClient::ConnectionError");
    qRegisterMetaType<ZELClient::VMInfo>("ZELClient::VMInfo");
    qRegisterMetaType<QList<ZELClient::VMInfo>>("QList<ZELClient::VMInfo>");
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &ZELClient::zel_connectTimedOut);
    // The TLS library is loaded and set up on first use, which would otherwise fall on the first
    // connection; Qt serialises the warm-up with a connection that comes first.
    TlsWarmUp::start();
}

ZELClient::~ZELClient()
{
    // Slave clients have no parent; their connections end with them.
    const QList<ZELSlaveClient *> slaves = m_slaveClients;
    m_slaveClients.clear();
    qDeleteAll(slaves);
    endRunningServers(false);
}

void ZELClient::setParameters(const ZELConnectionParameters &parameters)
{
    m_parameters = parameters;
}

ZELConnectionParameters ZELClient::getParameters() const
{
    return m_parameters;
}

void ZELClient::setBackend(ZELBackend *backend)
{
    if (m_backend)
        disconnect(m_backend, nullptr, this, nullptr);
    m_backend = backend;
    if (!backend)
        return;
    connect(backend, &ZELBackend::listeningOnTcpPort, this, &ZELClient::backend_listeningOnTcp);
    connect(backend, &ZELBackend::connectionEstablished, this, &ZELClient::backend_connectionEstablished);
    connect(backend, &ZELBackend::finished, this, &ZELClient::disconnectFromZEL);
    connect(backend, &ZELBackend::failed, this, &ZELClient::backend_failed);
    connect(backend, &ZELBackend::linkLost, this, &ZELClient::backend_linkLost);
}

ZELBackend *ZELClient::getBackend() const
{
    return m_backend;
}

QTcpSocket *ZELClient::getSocket()
{
    return m_socket;
}

void ZELClient::connectToZEL()
{
    qInfo() << "Connecting!";
    // A new session: no certificate answer of an earlier one applies.
    m_acceptedChain.clear();
    m_reconnected = false;
    openBrokerConnection();
}

void ZELClient::openBrokerConnection()
{
    if (m_socket) {
        // A session that was never closed: drop it quietly rather than leave two sockets
        // feeding the same slots.
        qWarning() << "Replacing a broker connection that was not closed";
        QSslSocket *old = m_socket;
        m_socket = nullptr;
        disconnect(old, nullptr, this, nullptr);
        old->abort();
        old->deleteLater();
    }

    for (const QPointer<QSslSocket> &closed : qAsConst(m_closedSockets)) {
        if (closed)
            closed->deleteLater();
    }
    m_closedSockets.clear();

    m_socket = new QSslSocket(this);
    m_tunnelStarted = false;
    m_socket->setPeerVerifyMode(QSslSocket::QueryPeer);

    // A sound port left from a session that was never closed serves no one.
    delete m_soundRelay;
    m_soundRelay = nullptr;
    if (m_backend) {
        m_backend->setParameters(m_parameters);
        if (m_parameters.audio() && m_parameters.audioCompression())
            openSoundPort();
    } else {
        qWarning() << "Connecting without a backend";
    }

    if (m_http)
        m_http->deleteLater();
    m_http = new ZELHTTP(m_socket, this);
    m_http->setTimeout(m_requestTimeoutMs);

    connect(m_socket, &QSslSocket::encrypted, this, &ZELClient::zel_connectionEstablished);
    connect(m_socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &ZELClient::zel_sslErrors);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &ZELClient::zel_socketError);
    connect(m_socket, &QAbstractSocket::hostFound, this, &ZELClient::zel_hostFound);
    connect(m_socket, &QAbstractSocket::stateChanged, this, &ZELClient::zel_socketStateChanged);

    // Nothing here waits: the name lookup, the TCP connection and the handshake all run in the
    // event loop, bounded by the connect timer.
    m_connectTimer.start(m_connectTimeoutMs);
    m_socket->connectToHostEncrypted(m_parameters.host(), m_parameters.port(), QIODevice::ReadWrite,
                                     QAbstractSocket::AnyIPProtocol);
}

void ZELClient::openSoundPort()
{
    qInfo() << "Setting up compressed audio";
    // Open before nxproxy starts, on a port of this session's own, and kept for the session.
    m_soundRelay = new SoundRelay(this);
    if (!m_soundRelay->listen()) {
        delete m_soundRelay;
        m_soundRelay = nullptr;
        // nxproxy is then given no port of the user's, and so passes no sound on.
        m_backend->setAudioPort(0);
        emit audioNotAvailable(QStringLiteral("no loopback port could be opened for the VM's sound"));
        return;
    }
    qInfo().nospace() << "The VM's sound is taken on port " << m_soundRelay->port();
    m_backend->setAudioPort(m_soundRelay->port());
}

void ZELClient::zel_connectTimedOut()
{
    if (!m_socket)
        return;
    const QString text = QStringLiteral("No connection to %1:%2 within %3 seconds")
                             .arg(m_parameters.host())
                             .arg(m_parameters.port())
                             .arg((m_connectTimeoutMs + 999) / 1000);
    qCritical().noquote() << text << "( socket state" << m_socket->state() << ")";
    failSession(Timeout, text);
}

bool ZELClient::isConnected() const
{
    return m_socket && m_http && m_socket->state() == QAbstractSocket::ConnectedState && m_socket->isEncrypted();
}

bool ZELClient::requireConnection(const char *request)
{
    if (isConnected() && !m_tunnelStarted)
        return true;
    qWarning() << request << "requested without a broker connection";
    failSession(ServerError, QStringLiteral("The connection to the broker is closed"));
    return false;
}

void ZELClient::zel_connectionEstablished()
{
    // Only the current session's socket counts; a refused one never gets here.
    if (!m_socket || sender() != m_socket)
        return;
    m_connectTimer.stop();
    qInfo() << "In connectionEstablished()";
    emit connectionEstablished();
}

void ZELClient::zel_sslErrors(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        qInfo().nospace() << "SSL error: " << error.errorString();
    QSslSocket *socket = m_socket;
    if (!socket)
        return;

    bool continueConnection = false;
    m_lostDuringQuestion = false;
    const QList<QSslCertificate> chain = socket->peerCertificateChain();
    if (!m_acceptedChain.isEmpty() && chain == m_acceptedChain) {
        qInfo() << "Certificate accepted before the broker closed the connection";
        continueConnection = true;
    } else {
        // The user may read the question for longer than a connection may take: the bound is
        // the network's, so it waits with the question.
        m_connectTimer.stop();
        m_certificateQuestionOpen = true;
        emit sslErrors(errors, chain, continueConnection);
        m_certificateQuestionOpen = false;
    }
    applyCertificateAnswer(socket, chain, continueConnection);
}

void ZELClient::applyCertificateAnswer(QSslSocket *socket, const QList<QSslCertificate> &chain, bool accepted)
{
    // The session was ended while the question was open: that end was its one report.
    if (m_socket != socket)
        return;
    if (!accepted) {
        qInfo() << "Aborting due to SSL errors";
        disconnectFromZEL();
        return;
    }
    qInfo() << "Continuing, SSL errors accepted by user.";
    m_acceptedChain = chain;
    if (!m_lostDuringQuestion && socket->state() == QAbstractSocket::ConnectedState) {
        m_connectTimer.start(m_connectTimeoutMs);
        return;
    }
    if (m_reconnected) {
        abandonReplies(socket);
        emit socketError(m_errorDuringQuestion);
        if (m_socket == socket)
            disconnectFromZEL();
        return;
    }
    // A broker closes a handshake that does not finish in its own time (the demo broker after
    // 30 s). The user said yes to this certificate: the same chain passes without asking again.
    qInfo() << "The broker closed the connection during the certificate question; connecting again";
    m_reconnected = true;
    disconnect(socket, nullptr, this, nullptr);
    // Not from inside the socket's own handshake, which is still running.
    const QPointer<QSslSocket> lost(socket);
    QMetaObject::invokeMethod(
        this,
        [this, lost] {
            if (!lost || m_socket != lost)
                return;
            m_socket = nullptr;
            m_closedSockets.append(lost);
            openBrokerConnection();
        },
        Qt::QueuedConnection);
}

void ZELClient::zel_socketError(QAbstractSocket::SocketError error)
{
    // A socket of a session already closed has nothing more to say.
    if (!m_socket || (sender() && sender() != m_socket))
        return;
    if (m_certificateQuestionOpen) {
        // What the loss means depends on the answer: told, or mended, once it is given.
        qInfo() << "Broker connection lost during the certificate question:" << error;
        m_lostDuringQuestion = true;
        m_errorDuringQuestion = error;
        return;
    }
    // Once the socket carries the display, its end is the backend's to judge: the end of the
    // VM's session, or a drop that the session may come back from. It is no connection failure.
    if (m_tunnelStarted) {
        if (error == QAbstractSocket::RemoteHostClosedError)
            qInfo() << "The broker closed the display tunnel";
        else
            qWarning() << "The display tunnel failed:" << error << m_socket->errorString();
        return;
    }
    // The connection is gone: the whole session ends with it (requests waiting on it, slave
    // clients). A waiting reply judges the end of the stream first: a body that runs to the end
    // of the connection is complete, anything else fails with its own text and ends the
    // session; only a session still open after that reports the socket's error.
    m_connectTimer.stop();
    QSslSocket *socket = m_socket;
    if (error == QAbstractSocket::RemoteHostClosedError && m_http) {
        const QList<QPointer<ZELNetworkReply>> replies = pendingReplies();
        for (const QPointer<ZELNetworkReply> &reply : replies) {
            if (reply && m_socket == socket)
                reply->streamEnded();
        }
        if (m_socket != socket)
            return;
    }
    // Nothing else may report this session's end while the receiver tells the user about it.
    abandonReplies(socket);
    emit socketError(error);
    if (m_socket == socket)
        disconnectFromZEL();
}

QList<QPointer<ZELNetworkReply>> ZELClient::pendingReplies() const
{
    QList<QPointer<ZELNetworkReply>> replies;
    if (m_http) {
        for (ZELNetworkReply *reply : m_http->findChildren<ZELNetworkReply *>(QString(), Qt::FindDirectChildrenOnly))
            replies << reply;
    }
    return replies;
}

void ZELClient::zel_hostFound()
{
    emit hostFound();
}

void ZELClient::zel_socketStateChanged(QAbstractSocket::SocketState socketState)
{
    emit socketStateChanged(socketState);
}

QNetworkRequest ZELClient::createRequest(const QUrl &url)
{
    QNetworkRequest request(url);

    const QString credentials = m_parameters.username() + QLatin1Char(':') + m_parameters.password()
        + m_parameters.secondFactor();
    request.setRawHeader("Authorization", "Basic " + credentials.toLocal8Bit().toBase64());
    request.setRawHeader("User-Agent", "ZELClient Qt/0.01 (Linux)");

    // The variables the user chose to send travel as "Auth-<hex of the name>: <Base64 of the value>".
    QSettings settings(QStringLiteral("Pelsor"), QStringLiteral("ZEL Client"));
    settings.beginGroup(QStringLiteral("Params"));
    const int count = settings.beginReadArray(QStringLiteral("ZELEnvVar"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        const QString name = settings.value(QStringLiteral("envvar")).toString();
        if (name.isEmpty())
            continue;
        QByteArray value = qEnvironmentVariable(name.toLocal8Bit().constData()).toUtf8().toBase64();
        // A null value would remove the header; an unset variable is still announced, empty.
        if (value.isNull())
            value = QByteArray("");
        request.setRawHeader("Auth-" + name.toLatin1().toHex(), value);
    }
    settings.endArray();
    settings.endGroup();

    return request;
}

bool ZELClient::checkReply(ZELNetworkReply *reply, int firstSuccess, int lastSuccess)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    ConnectionError error = NoError;
    QString text;
    if (reply->error() != QNetworkReply::NoError) {
        error = reply->error() == QNetworkReply::TimeoutError             ? Timeout
            : reply->error() == QNetworkReply::RemoteHostClosedError ? ServerError
                                                                      : ProtocolError;
        text = reply->errorString();
    } else if (status == 401) {
        error = AuthenticationError;
        text = QStringLiteral("Nombre de usuario o contraseña incorrecta.");
    } else if (status == 404) {
        error = ProtocolError;
        text = QStringLiteral("VM list command unrecognized. This may not be a ZEL server.");
    } else if (status == 503) {
        error = ServerBlocked;
        text = QStringLiteral("Server blocked");
    } else if (status >= 500 && status <= 599) {
        error = ProtocolError;
        text = QStringLiteral("Server failure.");
    } else if (status >= firstSuccess && status <= lastSuccess) {
        return true;
    } else {
        error = ProtocolError;
        text = QStringLiteral("Unexpected HTTP code ") + QString::number(status);
    }

    failSession(error, text);
    return false;
}

void ZELClient::releaseReply(QNetworkReply *reply)
{
    if (m_socket)
        disconnect(m_socket, nullptr, reply, nullptr);
    disconnect(reply, nullptr, nullptr, nullptr);
    reply->deleteLater();
}

void ZELClient::requestVMList()
{
    if (!requireConnection("VM list"))
        return;
    QNetworkRequest request = createRequest(brokerUrl(QStringLiteral("/zel/list_of_vm")));
    request.setRawHeader("Accept", "application/json");

    ZELNetworkReply *reply = m_http->get(request);
    connect(reply, &QNetworkReply::finished, this, &ZELClient::zel_vmListDownloaded);
}

void ZELClient::zel_vmListDownloaded()
{
    auto *reply = qobject_cast<ZELNetworkReply *>(sender());
    if (!reply) {
        qCritical() << "Not a QNetworkReply!";
        return;
    }
    releaseReply(reply);

    if (!checkReply(reply))
        return;

    const QByteArray body = reply->readAll();
    qInfo().nospace() << "JSON: " << body;

    QList<VMInfo> list;
    QString error;
    if (!parseVMList(body, list, error)) {
        failSession(ProtocolError, QStringLiteral("Failed to parse VM list: ") + error);
        return;
    }

    emit vmListReceived(list);
}

bool ZELClient::parseVMList(const QByteArray &json, QList<VMInfo> &list, QString &error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = parseError.errorString();
        return false;
    }

    const QJsonArray array = document.array();
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        const QString state = object.value(QStringLiteral("state")).toString();
        qInfo().nospace() << "State: " << state;

        VMInfo info;
        info.blocked = object.value(QStringLiteral("blocked")).toBool();
        info.id = object.value(QStringLiteral("id")).toInt();
        info.name = object.value(QStringLiteral("name")).toString();
        if (state == QLatin1String("stopped")) {
            info.state = 0;
        } else if (state == QLatin1String("starting")) {
            info.state = 1;
        } else if (state == QLatin1String("running")) {
            info.state = 2;
        } else {
            // Never assume a machine is up when the broker did not say so.
            qWarning().nospace() << "Unknown VM state " << state << " of VM " << info.id << ", taken as stopped";
            info.state = 0;
        }
        list.append(info);
    }
    return true;
}

void ZELClient::ping()
{
    if (!m_socket || !m_http) {
        qWarning() << "Ping requested without a broker connection";
        return;
    }
    ZELNetworkReply *reply = m_http->get(createRequest(brokerUrl(QStringLiteral("/zel/ping"))));
    connect(reply, &QNetworkReply::finished, this, &ZELClient::zel_pong);
}

void ZELClient::zel_pong()
{
    // The answer itself does not matter, only that it does not stay on the socket.
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        releaseReply(reply);
}

void ZELClient::connectToVM(int id)
{
    if (!requireConnection("VM connection"))
        return;

    const ZELConnectionParameters parameters = m_parameters;
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), QString::number(id));
    query.addQueryItem(QStringLiteral("zel.client.type"), QStringLiteral("qt"));
    query.addQueryItem(QStringLiteral("zel.client.keyboard"), queryValue(parameters.keyboard()));
    query.addQueryItem(QStringLiteral("zel.client.os"), queryValue(QSysInfo::kernelType()));
    query.addQueryItem(QStringLiteral("zel.client.nxagent.extra_args"),
                       queryValue(parameters.nxagent_extra_args()));
    query.addQueryItem(QStringLiteral("zel.client.geometry"), QStringLiteral("%1x%2")
                                                                  .arg(parameters.geometry().width())
                                                                  .arg(parameters.geometry().height()));
    query.addQueryItem(QStringLiteral("zel.client.fullscreen"), flag(parameters.fullscreen()));
    query.addQueryItem(QStringLiteral("zel.client.printing.enabled"), flag(parameters.printing()));
    query.addQueryItem(QStringLiteral("zel.client.usb.enabled"), flag(parameters.usb_forwarding()));
    query.addQueryItem(QStringLiteral("zel.client.usb.implementation"), QStringLiteral("usbip"));
    query.addQueryItem(QStringLiteral("zel.client.link"), speedToString(parameters.connectionSpeed()));
    query.addQueryItem(QStringLiteral("zel.client.audio.sound.enable"), flag(parameters.audio()));
    query.addQueryItem(QStringLiteral("zel.client.audio.microphone.enable"), flag(parameters.microphone()));
    query.addQueryItem(QStringLiteral("zel.client.audio.compression.enable"), flag(parameters.audioCompression()));
    query.addQueryItem(QStringLiteral("zel.client.timezone"), queryValue(parameters.timezone()));

    ZELNetworkReply *reply = requestUpgrade(QStringLiteral("/zel/connect_to_vm"), query);
    connect(reply, &QNetworkReply::finished, this, &ZELClient::zel_vmConnected);
}

ZELNetworkReply *ZELClient::requestUpgrade(const QString &path, const QUrlQuery &query)
{
    QUrl url = brokerUrl(path);
    url.setQuery(query);
    QNetworkRequest request = createRequest(url);
    request.setRawHeader("Connection", "Upgrade");
    request.setRawHeader("Upgrade", "ZEL/1.0");

    qInfo().nospace() << "Making request, url " << url;
    ZELNetworkReply *reply = m_http->get(request);
    connect(reply, &ZELNetworkReply::processing, this, &ZELClient::zel_vmProcessing);
    return reply;
}

void ZELClient::zel_vmProcessing()
{
    qInfo() << "Processing...";
}

void ZELClient::zel_vmConnected()
{
    auto *reply = qobject_cast<ZELNetworkReply *>(sender());
    if (!reply) {
        qCritical() << "Not a QNetworkReply!";
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qInfo().nospace() << "VM connected! Status " << status;

    // From here on the socket's bytes belong to the tunnel: a reply left listening would
    // read and drop the first of them.
    releaseReply(reply);

    // Anything but the switch to the tunnel is a refusal; the backend must not start on a
    // socket that still speaks HTTP.
    if (!checkReply(reply, 101, 101))
        return;

    // The key is this VM's: an answer without one leaves none, never the key of an earlier VM.
    m_slaveKey.clear();
    if (reply->rawHeaderList().contains(QByteArrayLiteral("X-ZEL-Slave-Key"))) {
        const QString key = QString::fromUtf8(reply->rawHeader(QByteArrayLiteral("X-ZEL-Slave-Key")));
        // The key is the credential of the VM's slave service: only its presence is logged.
        qInfo().nospace() << "Server provided a slave channel key: "
                          << "(" << key.size() << " characters, not shown)";
        m_slaveKey = key;
    }

    if (!m_backend || !m_socket) {
        qCritical() << "No backend to carry the display tunnel";
        failSession(InternalError, QStringLiteral("No backend to carry the display tunnel"));
        return;
    }
    m_tunnelStarted = true;
    m_backend->start(m_socket);
}

void ZELClient::stopVM(int id)
{
    if (!requireConnection("VM stop"))
        return;

    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), QString::number(id));
    ZELNetworkReply *reply = requestUpgrade(QStringLiteral("/zel/stop_vm"), query);
    connect(reply, &QNetworkReply::finished, this, [this, id, reply]() {
        qInfo() << "Powerdown completed";
        releaseReply(reply);
        // Only a confirmed stop lets the caller go on as if the VM had stopped.
        if (checkReply(reply, 200, 299))
            emit vmPoweredDown(id);
    });
}

void ZELClient::zel_vmPoweredDown()
{
    qInfo() << "VM powered down";
}

void ZELClient::handle_printer()
{
    if (!m_socket || !m_http) {
        qWarning() << "Printer request without a broker connection";
        return;
    }
    ZELNetworkReply *reply = m_http->get(createRequest(brokerUrl(QStringLiteral("/printer"))));
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { releaseReply(reply); });
}

void ZELClient::backend_listeningOnTcp(ZELBackend::NXChannel channel, unsigned short port)
{
    if (channel != ZELBackend::Slave)
        return;
    // The session's sharing commands run once, on the slave channel first announced: run again
    // they would share every folder twice and start a second sound server, which fails.
    if (m_slavePort != 0) {
        qWarning().nospace() << "The slave channel was announced again (port " << port
                             << "); its sharing commands run already on port " << m_slavePort;
        return;
    }
    if (port == 0) {
        qWarning() << "The slave channel was announced without a port; nothing is shared";
        return;
    }
    m_slavePort = port;

    // One connection per command: every folder, then every device, then compressed audio.
    // A resumed session shares everything again on its new slave channel, USB devices too.
    const QStringList folders = m_parameters.sharedFolders();
    for (const QString &folder : folders) {
        qInfo().nospace() << "Sharing folder " << folder << " with VM";
        createSlaveClient()->shareFolder(folder);
    }

    giveBackHeldUsbDevices();
    shareUsbDevices();

    if (m_parameters.audio() && m_parameters.audioCompression() && m_soundRelay) {
        qInfo() << "Starting compressed audio";
        createSlaveClient()->connectAudio(m_soundRelay->port(), m_parameters.microphone());
    }
}

void ZELClient::shareUsbDevices()
{
    if (!m_parameters.usb_forwarding())
        return;
    // A new loan while the helper still gives the device back would race it for the device.
    // Giving back does not wait: the loans follow once it is done, on this slave channel only.
    if (m_usbDevicesGoingBack > 0) {
        qInfo() << "Sharing the USB devices once those lent before the drop are back";
        m_usbSharingWaits = true;
        return;
    }
    const QList<USBDevice> devices = m_parameters.sharedUsbDevices();
    for (const USBDevice &device : devices) {
        qInfo().nospace() << "Sharing USB device " << device;
        createSlaveClient()->shareUSBDevice(device);
    }
}

ZELSlaveClient *ZELClient::createSlaveClient()
{
    auto *client = new ZELSlaveClient(m_slavePort, m_slaveKey);
    client->setRequestTimeout(m_slaveRequestTimeoutMs);
    connect(client, &ZELSlaveClient::commandSuccessful, this, &ZELClient::slave_success);
    connect(client, &ZELSlaveClient::commandFailed, this, &ZELClient::slave_failure);
    connect(client, &ZELSlaveClient::finished, this, &ZELClient::slave_done);
    m_slaveClients.append(client);
    return client;
}

void ZELClient::slave_success(const ZELSlaveCommand &cmd)
{
    qInfo() << "Slave command" << cmd << "completed";
    // The sound port leads to the server from now on.
    if (const auto *audio = qobject_cast<const ConnectAudio *>(&cmd)) {
        if (m_soundRelay)
            m_soundRelay->setServerSocket(audio->serverSocket());
    }
}

void ZELClient::slave_failure(const ZELSlaveCommand &cmd)
{
    qInfo() << "Slave command" << cmd << "failed";
    if (const auto *share = dynamic_cast<const SlaveShareFolderWithVM *>(&cmd))
        emit folderNotShared(share->folder(), share->failureReason());
    if (const auto *audio = qobject_cast<const ConnectAudio *>(&cmd))
        emit audioNotAvailable(audio->failureReason());
    if (const auto *usb = qobject_cast<const ShareUSBDevice *>(&cmd))
        emit usbDeviceNotShared(usb->deviceName(), usb->failureReason());
}

void ZELClient::slave_done()
{
    auto *client = qobject_cast<ZELSlaveClient *>(sender());
    if (!client) {
        qCritical() << "slave_done called not from a ZELSlaveClient!";
        return;
    }
    m_slaveClients.removeAll(client);
    if (QObject *server = client->takeRunningServer()) {
        server->setParent(this);
        m_runningServers.append(server);
    }
    client->deleteLater();
}

void ZELClient::endRunningServers(bool keepUsb)
{
    const QList<QObject *> servers = m_runningServers;
    m_runningServers.clear();
    for (QObject *server : servers) {
        auto *device = qobject_cast<ExportedUsbDevice *>(server);
        if (keepUsb && device)
            m_heldUsbDevices.append(device);
        else
            delete server;
    }
    if (!keepUsb)
        giveBackHeldUsbDevices();
}

void ZELClient::giveBackHeldUsbDevices()
{
    const QList<ExportedUsbDevice *> devices = m_heldUsbDevices;
    m_heldUsbDevices.clear();
    const QPointer<ZELClient> self(this);
    for (ExportedUsbDevice *device : devices) {
        ++m_usbDevicesGoingBack;
        device->giveBackNow([self] {
            if (self)
                self->usbDeviceBack();
        });
        delete device;
    }
}

void ZELClient::usbDeviceBack()
{
    if (--m_usbDevicesGoingBack > 0 || !m_usbSharingWaits)
        return;
    m_usbSharingWaits = false;
    shareUsbDevices();
}

void ZELClient::backend_connectionEstablished()
{
    qInfo() << "Backend established the connection";
    emit vmConnected(0);
}

void ZELClient::backend_failed(ZELBackend::BackendError error, const QString &description)
{
    qCritical().nospace() << "Backend failed with error: " << error << ", " << description;
    disconnectFromZEL();
    emit connectionError(error == ZELBackend::XServerFailed ? XServerError : BackendFailed, description);
}

void ZELClient::backend_linkLost(const QString &reason)
{
    qWarning().noquote() << "The link to the VM was lost:" << reason;
    closeConnection(true);
    qInfo() << "Disconnected from ZEL, the session kept for a resume";
    emit connectionLost(reason);
}

void ZELClient::failSession(ConnectionError error, const QString &text)
{
    // The receiver may tell the user in a modal box, which runs the event loop: the ending
    // connection must not report anything more meanwhile.
    m_connectTimer.stop();
    if (m_socket) {
        abandonReplies(m_socket);
        disconnect(m_socket, nullptr, this, nullptr);
    }
    emit connectionError(error, text);
    disconnectFromZEL();
}

void ZELClient::abandonReplies(QSslSocket *socket)
{
    // Replies still waiting on this socket would take its closing for the end of their
    // response; the session is over, so they are stopped and let go first.
    const QList<QPointer<ZELNetworkReply>> replies = pendingReplies();
    for (const QPointer<ZELNetworkReply> &reply : replies) {
        disconnect(socket, nullptr, reply, nullptr);
        reply->abort();
    }
}

void ZELClient::disconnectFromZEL()
{
    qDebug() << "Disconnecting from ZEL";
    // The session ends for good: the tunnel closing now is no drop to come back from.
    if (m_backend)
        m_backend->setKeepDisplayOnLinkLoss(false);
    closeConnection(false);
    qInfo() << "Disconnected from ZEL";
    emit connectionTerminated();
}

void ZELClient::closeConnection(bool keepUsb)
{
    m_connectTimer.stop();

    if (m_socket) {
        QSslSocket *socket = m_socket;
        m_socket = nullptr;
        m_tunnelStarted = false;
        abandonReplies(socket);
        // Closing the tunnel here is the session's own doing, not the broker's: the backend
        // must not take it for a lost connection.
        if (m_backend)
            disconnect(socket, nullptr, m_backend, nullptr);
        socket->close();
        disconnect(socket, nullptr, this, nullptr);
        // The session may end inside one of this socket's own signals, and inside a modal
        // box's event loop there: deleted now it could go while its code is still running.
        // It is kept, closed and silent, until the next connection is made.
        m_closedSockets.append(socket);
    }

    const QList<ZELSlaveClient *> slaves = m_slaveClients;
    m_slaveClients.clear();
    for (ZELSlaveClient *slave : slaves) {
        qDebug().nospace() << "Stopping slave " << slave;
        // Its channel is gone with the connection: a command failing now (its connection cut,
        // its request's bound passed) is no sharing failure to report, least of all while the
        // session resumes and shares everything again.
        disconnect(slave, nullptr, this, nullptr);
        slave->deleteLater();
    }
    // Nothing of this connection keeps serving the VM, and its VM's credential goes with it.
    // USB devices lent to the kernel stay lent across a drop: given back now, they would be
    // taken by the computer's own drivers while the VM still counts on them.
    delete m_soundRelay;
    m_soundRelay = nullptr;
    endRunningServers(keepUsb);
    m_slaveKey.clear();
    m_slavePort = 0;
    m_usbSharingWaits = false;
}

QString speedToString(ZELConnectionParameters::ConnectionSpeed speed)
{
    switch (speed) {
    case ZELConnectionParameters::Modem:
        return QStringLiteral("modem");
    case ZELConnectionParameters::ISDN:
        return QStringLiteral("isdn");
    case ZELConnectionParameters::ADSL:
        return QStringLiteral("adsl");
    case ZELConnectionParameters::WAN:
        return QStringLiteral("wan");
    case ZELConnectionParameters::LAN:
        return QStringLiteral("lan");
    case ZELConnectionParameters::Local:
        return QStringLiteral("local");
    }
    qCritical() << "Can't convert speed " << static_cast<int>(speed)
                << " to string, new constant? Please fix me! Assuming ADSL.";
    return QStringLiteral("adsl");
}
