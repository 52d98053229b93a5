#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <cstdint>

class QIODevice;

// Pumps bytes in both directions between two already-open streams and counts what it moves.
// The streams are not owned: they are never opened, deleted or re-parented here.
//
// Memory stays bounded when one side cannot keep up: while a destination has more than
// HighWaterMark bytes waiting to be written, its source is no longer read, so that the kernel
// and finally the sending peer hold the data (socket read buffers are capped at ReadBufferSize
// while the forwarder runs); reading resumes once the destination has drained to
// LowWaterMark. Nothing is dropped.
class SocketForwarder : public QObject
{
    Q_OBJECT

public:
    // Well above what one pass moves, so that a destination that keeps up never pauses its
    // source; low enough that a stalled destination costs the relay little memory.
    static constexpr qint64 HighWaterMark = 2 * 1024 * 1024;
    static constexpr qint64 LowWaterMark = 512 * 1024;
    // Kept below the size from which the C library maps fresh pages for every allocation:
    // the sockets allocate their buffers in pieces of up to this size.
    static constexpr qint64 ReadBufferSize = 64 * 1024;
    // Piece size in which data is copied from one side to the other.
    static constexpr int ChunkSize = 64 * 1024;
    // Less than this arriving from a TLS socket is forwarded at once rather than batched.
    static constexpr qint64 ImmediateSize = 4096;

    SocketForwarder(QObject *parent, QIODevice *socketA, QIODevice *socketB);
    ~SocketForwarder() override;

    int64_t totalBytesAToB() const;
    int64_t totalBytesBToA() const;

    // True while the given side is not read because the other side is backed up.
    bool isSocketAPaused() const { return m_a.paused; }
    bool isSocketBPaused() const { return m_b.paused; }

signals:
    void totalStatsUpdated(int64_t total_bytes_a_to_b, int64_t total_bytes_b_to_a);
    void dataTransferred(int64_t transferred_a_to_b, int64_t transferred_b_to_a);

public slots:
    void socketA_readyRead();
    void socketB_readyRead();
    void socketA_finished();
    void socketB_finished();

private:
    struct Side
    {
        bool paused = false;
        // Read buffer size of the socket as it was handed over.
        qint64 savedReadBufferSize = 0;
        bool tls = false;
        bool forwardQueued = false;
        // Its end of input has been handled.
        bool finished = false;
    };

    void takeUpWaitingInput();
    static bool inputEnded(QIODevice *device);

    void dataReady(bool aToB);
    void forward(bool aToB, bool notifyEmpty);
    void finish(bool aToB);
    void destinationWritten(bool aToB);
    static bool isBackedUp(QIODevice *destination, qint64 threshold);
    static qint64 capReadBuffer(QIODevice *device);
    static void restoreReadBuffer(QIODevice *device, qint64 size);
    static qint64 pendingWrite(QIODevice *device);
    static void write(QIODevice *destination, const char *data, qint64 size);
    static void flush(QIODevice *destination);
    static qint64 sendDirectly(QIODevice *destination, const char *data, qint64 size);
    // What the kernel took at once, without waiting: 0 where sockets are only written through Qt.
    static qint64 sendToDescriptor(qintptr descriptor, const char *data, qint64 size);

    QPointer<QIODevice> m_socketA;
    QPointer<QIODevice> m_socketB;
    int64_t m_total_a_to_b = 0;
    int64_t m_total_b_to_a = 0;
    Side m_a;
    Side m_b;
    QByteArray m_chunk;
    QList<QMetaObject::Connection> m_drainConnections;
};
