#pragma once

#include "zelbackend.h"
#include "zelclient_export.h"
#include "zelconnectionparameters.h"

#include <QAbstractSocket>
#include <QList>
#include <QMetaType>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QTimer>
#include <QUrl>

class ExportedUsbDevice;
class QNetworkReply;
class QUrlQuery;
class QTcpSocket;
class SoundRelay;
class ZELHTTP;
class ZELNetworkReply;
class ZELSlaveClient;
class ZELSlaveCommand;

// The link type as the broker spells it ("modem", ..., "local").
QString speedToString(ZELConnectionParameters::ConnectionSpeed speed);

// The session with the broker: one TLS connection on which HTTP/1.1 requests are made one at
// a time (VM list, ping) and which later becomes the tunnel of the remote display. Every
// outcome is reported through signals; every way out of a session ends in
// connectionTerminated().
class ZELCLIENT_EXPORT ZELClient : public QObject
{
    Q_OBJECT

public:
    enum ConnectionError {
        NoError = 0,
        AuthenticationError = 1,
        Timeout = 2,
        VMStartError = 3,
        ProtocolError = 4,
        ServerBlocked = 5,
        ServerError = 6,
        XServerError = 7,
        BackendFailed = 8,
        InternalError = 9
    };
    Q_ENUM(ConnectionError)

    // One entry of the user's VM list. state: 0 stopped, 1 starting, 2 running; a state text
    // the client does not know counts as stopped.
    struct VMInfo {
        QString name;
        int id = 0;
        bool blocked = false;
        int state = 0;
    };

    explicit ZELClient(QObject *parent = nullptr);
    ~ZELClient() override;

    // Reads the broker's VM list, a JSON array of objects, into list; false, with the JSON
    // parser's message in error, when the text is not JSON.
    static bool parseVMList(const QByteArray &json, QList<VMInfo> &list, QString &error);

    void setParameters(const ZELConnectionParameters &parameters);
    ZELConnectionParameters getParameters() const;

    // The backend is not owned. Setting a new one drops the connections to the previous one,
    // so that a backend left over from an earlier attempt cannot end this session.
    void setBackend(ZELBackend *backend);
    ZELBackend *getBackend() const;

    // The broker connection; null before connectToZEL() and after disconnectFromZEL().
    QTcpSocket *getSocket();

    // Opens the broker connection without blocking: connectionEstablished() follows, or, when
    // the connection (TLS included) is not up within the connect time-out,
    // connectionError(Timeout) and connectionTerminated(). The time-out does not run while the
    // receiver of sslErrors() makes up its mind; a broker that closed the connection meanwhile
    // is connected again once, with the answer applied. With compressed audio it also opens
    // the session's sound port, a free one, and gives it to the backend as its audio port.
    void connectToZEL();
    // Bounds of the session's waits, in milliseconds: the connection, and every broker answer.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    int connectTimeout() const { return m_connectTimeoutMs; }
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    int requestTimeout() const { return m_requestTimeoutMs; }
    // The bound of every slave connection and of its command's request to the VM.
    void setSlaveRequestTimeout(int ms) { m_slaveRequestTimeoutMs = ms; }
    int slaveRequestTimeout() const { return m_slaveRequestTimeoutMs; }
    // Whether the broker connection is up and encrypted, so that a request can be made.
    bool isConnected() const;

    // Broker requests are answered or fail: on a session without a working connection they
    // fail at once (connectionError, then connectionTerminated).
    void requestVMList();
    void ping();

    // Asks the broker to connect VM id and to turn the session socket into the display
    // tunnel; the backend carries it from the broker's 101 on. Any other final answer is a
    // refusal: connectionError, then connectionTerminated, and the backend is not started.
    void connectToVM(int id);
    // Asks the broker to stop VM id; vmPoweredDown(id) follows when the broker confirms it (a
    // 2xx answer); a refusal ends the session with connectionError.
    void stopVM(int id);
    void handle_printer();

signals:
    void connectionEstablished();
    void vmPoweredDown(int id);
    void vmConnected(int id);
    void connectionError(ZELClient::ConnectionError error, QString error_text);
    void connectionTerminated();
    void vmListReceived(const QList<ZELClient::VMInfo> &vm_list);
    void socketError(QAbstractSocket::SocketError error);
    // Connect with a direct connection: the receiver decides by setting continue_connection
    // before the emission returns. Without such a receiver the session is closed.
    void sslErrors(const QList<QSslError> &errors, const QList<QSslCertificate> &cert_chain,
                   bool &continue_connection);
    void hostFound();
    void socketStateChanged(QAbstractSocket::SocketState socketState);
    // A shared folder did not reach the VM; the rest of the session goes on.
    void folderNotShared(const QString &folder, const QString &reason);
    // The session has no sound (its sound server did not come up); the rest goes on.
    void audioNotAvailable(const QString &reason);
    // A USB device did not reach the VM (named as the user knows it); the rest goes on.
    void usbDeviceNotShared(const QString &device, const QString &reason);
    // The link to the VM broke while its desktop was up, without the session's orderly end,
    // and the backend keeps the local display for a resume. What the broker connection carried
    // is closed (the slave channel with it) but the session is not over: connectToZEL() and
    // connectToVM() with the same VM resume it, and the USB devices stay lent meanwhile.
    // connectionTerminated() comes only when the session ends for good (disconnectFromZEL()).
    void connectionLost(const QString &reason);

public slots:
    void disconnectFromZEL();

private slots:
    void zel_sslErrors(const QList<QSslError> &errors);
    void zel_connectionEstablished();
    void zel_vmListDownloaded();
    void zel_vmProcessing();
    void zel_vmPoweredDown();
    void zel_vmConnected();
    void zel_pong();
    void zel_socketError(QAbstractSocket::SocketError error);
    void zel_hostFound();
    void zel_socketStateChanged(QAbstractSocket::SocketState socketState);
    void zel_connectTimedOut();
    void backend_listeningOnTcp(ZELBackend::NXChannel channel, unsigned short port);
    void backend_connectionEstablished();
    void backend_failed(ZELBackend::BackendError error, const QString &description);
    void backend_linkLost(const QString &reason);
    void slave_success(const ZELSlaveCommand &cmd);
    void slave_failure(const ZELSlaveCommand &cmd);
    void slave_done();

private:
    void openBrokerConnection();
    // What the certificate question decided, once it has been asked.
    void applyCertificateAnswer(QSslSocket *socket, const QList<QSslCertificate> &chain, bool accepted);
    QNetworkRequest createRequest(const QUrl &url);
    // A request that asks the broker to switch the connection ("Upgrade: ZEL/1.0").
    ZELNetworkReply *requestUpgrade(const QString &path, const QUrlQuery &query);
    // Judges a reply: a failed exchange (time-out, connection lost, malformed answer) or a status
    // outside the range that means success (200 for ordinary requests, 101 for the tunnel) ends
    // the session with connectionError.
    bool checkReply(ZELNetworkReply *reply, int firstSuccess = 200, int lastSuccess = 200);
    // For a request about to be made: false, with the session ended, when there is no working
    // broker connection to make it on.
    bool requireConnection(const char *request);
    ZELSlaveClient *createSlaveClient();
    // The session's sound port, to which nxproxy delivers the VM's sound (compressed audio).
    void openSoundPort();
    // Ends the servers serving the VM; with keepUsb the USB devices stay lent, held for a resume.
    void endRunningServers(bool keepUsb);
    // Closes what the broker connection carried: the socket, its replies, the slave clients,
    // the sound port and the servers serving the VM; with keepUsb the USB devices stay lent.
    void closeConnection(bool keepUsb);
    // USB devices kept lent across a drop go back to their drivers before they are shared again.
    void giveBackHeldUsbDevices();
    // Offers the chosen USB devices to the VM on the slave channel, each on a connection of its
    // own, once no device kept lent across a drop is still being given back.
    void shareUsbDevices();
    void usbDeviceBack();
    // A finished reply stays attached to the socket and would swallow the next response;
    // this detaches it at once and deletes it later.
    void releaseReply(QNetworkReply *reply);
    void abandonReplies(QSslSocket *socket);
    // Reports the error, then ends the session (connectionTerminated).
    void failSession(ConnectionError error, const QString &text);
    QList<QPointer<ZELNetworkReply>> pendingReplies() const;

    QSslSocket *m_socket = nullptr;
    ZELHTTP *m_http = nullptr;
    QPointer<ZELBackend> m_backend;
    ZELConnectionParameters m_parameters;
    QList<ZELSlaveClient *> m_slaveClients;
    // What finished slave commands left running for the session (servers serving the VM);
    // owned, ended when the session ends.
    QList<QObject *> m_runningServers;
    // The USB devices lent before a drop, kept so until the session resumes or ends.
    QList<ExportedUsbDevice *> m_heldUsbDevices;
    // The way into the session's sound server; owned, closed when the session ends.
    SoundRelay *m_soundRelay = nullptr;
    QString m_slaveKey;
    // The socket has been handed to the backend as the display tunnel.
    bool m_tunnelStarted = false;
    unsigned short m_slavePort = 0;
    // Devices kept lent across a drop whose helper still gives them back, and whether the slave
    // channel's USB devices wait for that.
    int m_usbDevicesGoingBack = 0;
    bool m_usbSharingWaits = false;
    QList<QPointer<QSslSocket>> m_closedSockets;
    QTimer m_connectTimer;
    int m_connectTimeoutMs = 20000;
    // The certificate question: open while its receiver decides (the socket's errors wait for
    // the answer, which decides what they mean); the chain accepted in this session; whether the
    // session has connected again after losing its connection during the question.
    bool m_certificateQuestionOpen = false;
    bool m_lostDuringQuestion = false;
    QAbstractSocket::SocketError m_errorDuringQuestion = QAbstractSocket::UnknownSocketError;
    QList<QSslCertificate> m_acceptedChain;
    bool m_reconnected = false;
    int m_requestTimeoutMs = 60000;
    int m_slaveRequestTimeoutMs;
};

Q_DECLARE_METATYPE(ZELClient::VMInfo)
