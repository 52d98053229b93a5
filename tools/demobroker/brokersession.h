#pragma once

#include "brokerconfig.h"
#include "brokerrequest.h"
#include "requestchecker.h"

#include <QObject>
#include <QTimer>

class QSslSocket;
class QTcpSocket;
class TunnelRelay;
class VmStarter;

// One client connection: TLS, then requests one at a time, then possibly the tunnel to a VM.
class BrokerSession : public QObject
{
    Q_OBJECT

public:
    // Takes the socket (its parent becomes this session); the TLS handshake has been started.
    BrokerSession(QSslSocket *socket, BrokerConfig *config, QObject *parent = nullptr);
    ~BrokerSession() override;

    // Ends the connection at once (the broker is stopping).
    void shutdown();
    // Cuts the tunnel, if this connection has become one, as a network would: closed (both
    // sides see it end) or stalled (nothing is forwarded any more, nothing is closed).
    void cutTunnel(bool stall);

    static constexpr int MaxLineLength = 16 * 1024;
    static constexpr int MaxHeadLength = 64 * 1024;
    static constexpr int HandshakeTimeoutMs = 30000;

signals:
    void finished();

private:
    enum class State { Handshake, ReadingRequest, Busy, Stopping, Tunnel, Closing, Done };

    void socket_encrypted();
    void socket_disconnected();
    void socket_readyRead();
    void handshake_timeout();
    void processing_timeout();
    void starter_ready(const QString &host, quint16 port);
    void starter_failed(const QString &text);
    void starter_takenOver();
    void endpoint_connected();
    void endpoint_failed();
    void relay_finished();

    void processInput();
    void handleRequest();
    void logRequest() const;
    void answer(int status, const QByteArray &bytes);
    void reject(int status, const QString &why);
    void answerOverride(const BrokerConfig::Override &override);
    void answerVmList(const BrokerConfig::User &user);
    void beginConnect(const BrokerConfig::User &user, int vmId);
    void stopVm(const BrokerConfig::User &user, int vmId);
    void answerStopped(int vmId);
    void sendProcessing();
    void maybeUpgrade();
    void failConnect(const QString &why);
    void cleanUpConnect();
    void finish();

    QSslSocket *m_socket;
    BrokerConfig *m_config;
    // This connection's number, which no other connection of the broker's run has.
    quint64 m_serial;
    QString m_peer;
    State m_state = State::Handshake;
    QTimer m_handshakeTimer;
    BrokerRequest m_request;
    int m_headLength = 0;

    // VM connection in progress
    int m_vmId = -1;
    QString m_vmStateBefore;
    QByteArray m_slaveKey;
    int m_processingWanted = 0;
    int m_processingSent = 0;
    int m_processingIntervalMs = 0;
    QTimer m_processingTimer;
    VmStarter *m_starter = nullptr;
    QTcpSocket *m_endpoint = nullptr;
    QString m_endpointName;
    bool m_endpointReady = false;
    TunnelRelay *m_relay = nullptr;

    // VM stop in progress: running VMs still to end
    int m_stopsPending = 0;
};
