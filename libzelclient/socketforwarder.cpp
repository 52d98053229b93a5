#include "socketforwarder.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QIODevice>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtDebug>

SocketForwarder::SocketForwarder(QObject *parent, QIODevice *socketA, QIODevice *socketB)
    : QObject(parent)
    , m_socketA(socketA)
    , m_socketB(socketB)
    , m_chunk(ChunkSize, Qt::Uninitialized)
{
    // The counters travel as int64_t; make them usable in queued connections and signal spies.
    static const int registered = qRegisterMetaType<int64_t>("int64_t");
    Q_UNUSED(registered)

    connect(socketA, SIGNAL(readyRead()), this, SLOT(socketA_readyRead()));
    connect(socketA, SIGNAL(readChannelFinished()), this, SLOT(socketA_finished()));
    connect(socketB, SIGNAL(readyRead()), this, SLOT(socketB_readyRead()));
    connect(socketB, SIGNAL(readChannelFinished()), this, SLOT(socketB_finished()));

    // A relay must not hold small writes back: the endpoints already decide how to coalesce,
    // and an interactive display suffers from every delayed round trip.
    for (QIODevice *device : {socketA, socketB}) {
        if (auto socket = qobject_cast<QAbstractSocket *>(device))
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }

    // Each read takes at most ReadBufferSize from a socket; a socket that is not read stops
    // fetching from the network once that much is waiting, which is what holds a fast sender.
    m_a.tls = qobject_cast<QSslSocket *>(socketA) != nullptr;
    m_b.tls = qobject_cast<QSslSocket *>(socketB) != nullptr;
    m_a.savedReadBufferSize = capReadBuffer(socketA);
    m_b.savedReadBufferSize = capReadBuffer(socketB);

    // What drains a destination may let its paused source go on.
    const auto watchDestination = [this](QIODevice *destination, bool aToB) {
        m_drainConnections << connect(destination, &QIODevice::bytesWritten, this,
                                      [this, aToB]() { destinationWritten(aToB); });
        if (auto ssl = qobject_cast<QSslSocket *>(destination)) {
            m_drainConnections << connect(ssl, &QSslSocket::encryptedBytesWritten, this,
                                          [this, aToB]() { destinationWritten(aToB); });
        }
        if (auto socket = qobject_cast<QAbstractSocket *>(destination)) {
            m_drainConnections << connect(socket, &QAbstractSocket::disconnected, this,
                                          [this, aToB]() { destinationWritten(aToB); });
        }
    };
    watchDestination(socketB, true);
    watchDestination(socketA, false);

    // Either stream may already hold bytes (a peer that spoke before the other side was up),
    // or even its end of input. Their readyRead() came before anybody listened, and a socket
    // whose read buffer is full announces nothing more, so they are taken up once the creator
    // has connected to the signals.
    QMetaObject::invokeMethod(this, &SocketForwarder::takeUpWaitingInput, Qt::QueuedConnection);
}

SocketForwarder::~SocketForwarder()
{
    if (m_socketA) {
        disconnect(m_socketA, SIGNAL(readyRead()), this, SLOT(socketA_readyRead()));
        disconnect(m_socketA, SIGNAL(readChannelFinished()), this, SLOT(socketA_finished()));
    }
    if (m_socketB) {
        disconnect(m_socketB, SIGNAL(readyRead()), this, SLOT(socketB_readyRead()));
        disconnect(m_socketB, SIGNAL(readChannelFinished()), this, SLOT(socketB_finished()));
    }
    for (const QMetaObject::Connection &connection : qAsConst(m_drainConnections))
        disconnect(connection);

    // Leave the streams as they were handed over.
    restoreReadBuffer(m_socketA, m_a.savedReadBufferSize);
    restoreReadBuffer(m_socketB, m_b.savedReadBufferSize);
}

int64_t SocketForwarder::totalBytesAToB() const
{
    return m_total_a_to_b;
}

int64_t SocketForwarder::totalBytesBToA() const
{
    return m_total_b_to_a;
}

void SocketForwarder::socketA_readyRead()
{
    dataReady(true);
}

void SocketForwarder::socketB_readyRead()
{
    dataReady(false);
}

void SocketForwarder::dataReady(bool aToB)
{
    Side &side = aToB ? m_a : m_b;
    if (side.forwardQueued)
        return;
    QIODevice *from = aToB ? m_socketA.data() : m_socketB.data();
    // A TLS socket announces every few KiB it decrypts, many times in one go; moving bulk data
    // once the burst is over sends it in one piece instead of a system call and a pair of
    // signals per fragment. Small amounts (interactive traffic) go at once, and so does a full
    // read buffer, which ends a burst. The queued call runs before the event loop waits again.
    const qint64 available = from ? from->bytesAvailable() : 0;
    if (!side.tls || available < ImmediateSize || available >= ReadBufferSize) {
        forward(aToB, true);
        return;
    }
    side.forwardQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this, aToB]() {
            (aToB ? m_a : m_b).forwardQueued = false;
            // Nothing left means the end of input took it already.
            forward(aToB, false);
        },
        Qt::QueuedConnection);
}

void SocketForwarder::takeUpWaitingInput()
{
    QPointer<SocketForwarder> self(this);
    for (bool aToB : {true, false}) {
        QIODevice *from = aToB ? m_socketA.data() : m_socketB.data();
        if (!self || !from || (aToB ? m_a : m_b).finished)
            continue;
        if (inputEnded(from))
            finish(aToB); // moves what is left, then closes the other side
        else if (from->bytesAvailable() > 0)
            dataReady(aToB);
    }
}

bool SocketForwarder::inputEnded(QIODevice *device)
{
    const auto socket = qobject_cast<QAbstractSocket *>(device);
    return socket && socket->state() == QAbstractSocket::UnconnectedState;
}

void SocketForwarder::socketA_finished()
{
    finish(true);
}

void SocketForwarder::socketB_finished()
{
    finish(false);
}

void SocketForwarder::forward(bool aToB, bool notifyEmpty)
{
    QIODevice *from = aToB ? m_socketA.data() : m_socketB.data();
    QIODevice *to = aToB ? m_socketB.data() : m_socketA.data();
    Side &side = aToB ? m_a : m_b;
    if (!from || !to || side.paused || !from->isOpen())
        return; // a paused side is read again once its destination has drained

    if (isBackedUp(to, HighWaterMark)) {
        side.paused = true;
        return;
    }

    // Copy through one reused buffer: a fresh array per chunk costs an allocation that, for
    // chunks this large, the C library serves with new zeroed pages every time.
    QPointer<SocketForwarder> self(this);
    int64_t length = 0;
    for (;;) {
        const qint64 n = from->read(m_chunk.data(), m_chunk.size());
        if (n <= 0)
            break;
        length += n;
        write(to, m_chunk.constData(), n);
        if (n < m_chunk.size())
            break;
    }
    if (aToB)
        m_total_a_to_b += length;
    else
        m_total_b_to_a += length;

    if (length > 0)
        flush(to);
    if (!self)
        return;
    if (m_socketB && m_socketA && isBackedUp(to, HighWaterMark))
        side.paused = true;

    if (length == 0 && !notifyEmpty)
        return;
    if (aToB)
        emit dataTransferred(length, 0);
    else
        emit dataTransferred(0, length);
    if (self)
        emit totalStatsUpdated(m_total_a_to_b, m_total_b_to_a);
}

void SocketForwarder::finish(bool aToB)
{
    if (aToB)
        qInfo("Socket A closing");
    else
        qInfo("Socket B closing");

    QIODevice *from = aToB ? m_socketA.data() : m_socketB.data();
    QIODevice *to = aToB ? m_socketB.data() : m_socketA.data();
    Side &side = aToB ? m_a : m_b;
    side.finished = true;
    if (!from || !to)
        return;
    // Whatever the finished side still holds goes out now; it is bounded by its read buffer.
    side.paused = false;

    QPointer<SocketForwarder> self(this);
    if (from->bytesAvailable() > 0 && to->isOpen()) {
        const QByteArray data = from->readAll();
        if (aToB)
            m_total_a_to_b += data.size();
        else
            m_total_b_to_a += data.size();
        write(to, data.constData(), data.size());
        flush(to);
        if (!self)
            return;
    }
    // Closing a socket sends what it still has buffered for writing before it disconnects.
    if (QIODevice *other = aToB ? m_socketB.data() : m_socketA.data())
        other->close();
}

void SocketForwarder::destinationWritten(bool aToB)
{
    Side &side = aToB ? m_a : m_b;
    if (!side.paused)
        return;
    QIODevice *to = aToB ? m_socketB.data() : m_socketA.data();
    if (to && isBackedUp(to, LowWaterMark))
        return;

    side.paused = false;
    // Reading again is what lets a socket fetch more from the network; it also forwards what
    // piled up while paused.
    if (to)
        forward(aToB, false);
}

bool SocketForwarder::isBackedUp(QIODevice *destination, qint64 threshold)
{
    if (!destination->isWritable())
        return false; // a closed destination drops what it is given; nothing can back up
    if (const auto socket = qobject_cast<QAbstractSocket *>(destination)) {
        if (socket->state() == QAbstractSocket::UnconnectedState)
            return false;
    }
    return pendingWrite(destination) > threshold;
}

qint64 SocketForwarder::capReadBuffer(QIODevice *device)
{
    const auto socket = qobject_cast<QAbstractSocket *>(device);
    if (!socket)
        return 0;
    const qint64 previous = socket->readBufferSize();
    if (previous == 0 || previous > ReadBufferSize)
        socket->setReadBufferSize(ReadBufferSize);
    return previous;
}

void SocketForwarder::restoreReadBuffer(QIODevice *device, qint64 size)
{
    if (const auto socket = qobject_cast<QAbstractSocket *>(device)) {
        if (socket->readBufferSize() != size)
            socket->setReadBufferSize(size);
    }
}

qint64 SocketForwarder::pendingWrite(QIODevice *device)
{
    qint64 pending = device->bytesToWrite();
    // A TLS socket hands its data on as soon as it is encrypted; the ciphertext waits below it.
    if (const auto ssl = qobject_cast<QSslSocket *>(device))
        pending += ssl->encryptedBytesToWrite();
    return pending;
}

void SocketForwarder::write(QIODevice *destination, const char *data, qint64 size)
{
    if (!destination->isWritable())
        return; // a closed destination drops what it is given
    const qint64 sent = sendDirectly(destination, data, size);
    if (sent < size)
        destination->write(data + sent, size - sent);
}

// Sending at once saves a pass through the event loop; it may report errors or disconnection
// synchronously, and their receivers may delete this forwarder.
void SocketForwarder::flush(QIODevice *destination)
{
    if (destination->bytesToWrite() == 0)
        return;
    if (auto socket = qobject_cast<QAbstractSocket *>(destination))
        socket->flush();
}

// A plain TCP socket with nothing queued in its write buffer takes the data straight into the
// kernel: Qt's buffered write would copy it once more and switch the socket's write
// notification on and off around it, each switch costing the event loop a wake-up. What the
// kernel does not take right away goes through the socket as usual, behind anything sent here.
qint64 SocketForwarder::sendDirectly(QIODevice *destination, const char *data, qint64 size)
{
    const auto socket = qobject_cast<QTcpSocket *>(destination);
    if (!socket || qobject_cast<QSslSocket *>(destination) || socket->state() != QAbstractSocket::ConnectedState
        || socket->bytesToWrite() > 0 || socket->socketDescriptor() == -1)
        return 0;
    return sendToDescriptor(socket->socketDescriptor(), data, size);
}
