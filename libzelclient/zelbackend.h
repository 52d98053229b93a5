#pragma once

#include "zelclient_export.h"
#include "zelconnectionparameters.h"

#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <cstdint>

class QTcpSocket;

// Base of the component that carries the remote-display traffic once the broker session
// socket has become a raw tunnel. The session client only knows this interface: it hands
// over the parameters and the tunnel socket and listens to the signals below. The base
// keeps the parameters, the local ports announced for forwarded services and the traffic
// counters that the bandwidth display follows.
class ZELCLIENT_EXPORT ZELBackend : public QObject
{
    Q_OBJECT

public:
    // Kinds of channel the NX proxy forwards.
    enum NXChannel {
        Unknown = 0,
        X11 = 1,
        X11Aux = 2,
        CUPS = 3,
        Multimedia = 4,
        SMB = 5,
        HTTP = 6,
        Font = 7,
        File = 8,
        Slave = 9
    };
    Q_ENUM(NXChannel)

    // Why a backend failed.
    enum BackendError {
        UnknownError = 0,
        NotFound = 1,
        LinkingError = 2,
        Crash = 3,
        Abort = 4,
        StartFailure = 5,
        CommunicationFailure = 6,
        XServerFailed = 7
    };
    Q_ENUM(BackendError)

    // Bytes moved on one channel.
    struct ChannelTraffic {
        int64_t in = 0;
        int64_t out = 0;
    };

    // Traffic counters in bytes; they only grow. "in" is what came from the remote side.
    struct Statistics {
        QHash<NXChannel, ChannelTraffic> channels;
        int64_t totalIn = 0;
        int64_t totalOut = 0;
    };

    explicit ZELBackend(QObject *parent = nullptr);
    ~ZELBackend() override;

    // Begin carrying the display traffic over the given tunnel socket.
    virtual void start(QTcpSocket *socket) = 0;
    // End the display connection and release what start() set up.
    virtual void stop() = 0;
    virtual int64_t bytesRead();
    virtual int64_t bytesWritten();

    ZELConnectionParameters parameters() const;
    void setParameters(const ZELConnectionParameters &parameters);

    unsigned short cupsPort() const;
    void setCupsPort(const unsigned short &port);
    unsigned short smbPort() const;
    void setSmbPort(const unsigned short &port);
    unsigned short slavePort() const;
    void setSlavePort(const unsigned short &port);
    unsigned short audioPort() const;
    void setAudioPort(const unsigned short &port);

    Statistics getStatistics() const;

    // Whether a broken link keeps the local display for a resume: linkLost() is reported
    // instead of the end of the session, and start() with a new tunnel carries on in the same
    // display. Off, a broken link ends the session as any other end does.
    void setKeepDisplayOnLinkLoss(bool keep) { m_keepDisplayOnLinkLoss = keep; }
    bool keepDisplayOnLinkLoss() const { return m_keepDisplayOnLinkLoss; }

signals:
    void started();
    void standardOutput(const QByteArray &data);
    void standardError(const QByteArray &data);
    void forwardingRemoteConnectionsToTcpPort(ZELBackend::NXChannel channel, const QString &host, unsigned int port);
    void forwardingRemoteConnectionsToUnixSocket(ZELBackend::NXChannel channel, const QString &unix_socket);
    void forwardingRemoteConnectionsToDisplay(ZELBackend::NXChannel channel, const QString &host, unsigned int display);
    void listeningOnTcpPort(ZELBackend::NXChannel channel, unsigned int local_port);
    void listeningOnUnixSocket(ZELBackend::NXChannel channel, const QString &unix_socket);
    void connectionEstablished();
    void connectionTerminated();
    void failed(ZELBackend::BackendError error, const QString &description);
    void finished();
    void statisticsUpdated(const ZELBackend::Statistics &stats);
    void channelStatIncrement(ZELBackend::NXChannel chan, int64_t in, int64_t out);
    // Carries the increment, not the running total.
    void totalTrafficIncrement(int64_t in, int64_t out);
    // The link to the VM broke while the remote desktop was up, without the session's orderly
    // end, and the display is kept (setKeepDisplayOnLinkLoss): no failed() or finished() follows.
    void linkLost(const QString &reason);

protected:
    // Adds to one channel's counters (inserting the channel on its first increment).
    void addStat(NXChannel chan, int64_t in, int64_t out);
    // Adds to the totals; one call per chunk moved, with one of the two amounts usually zero.
    void addTotalTraffic(int64_t in, int64_t out);

    // Set by a backend when its child process reports that a library could not be loaded.
    bool m_linkingError = false;

private:
    Statistics m_statistics;
    ZELConnectionParameters m_parameters;
    unsigned short m_cupsPort = 631;
    unsigned short m_smbPort = 445;
    unsigned short m_slavePort = 63640;
    unsigned short m_audioPort = 4713;
    bool m_keepDisplayOnLinkLoss = false;
};

Q_DECLARE_METATYPE(ZELBackend::ChannelTraffic)
Q_DECLARE_METATYPE(ZELBackend::Statistics)
