#include "zelnetworkreply.h"

#include <QDebug>
#include <QTcpSocket>

#include <cstring>

namespace {

// A status or header line longer than this is not HTTP from a sane peer; without a limit a
// peer that never sends a line end would make the socket buffer grow without bound.
constexpr qint64 MaxLineLength = 64 * 1024;
// The same for a header block that never ends: a peer could otherwise fill memory with headers.
constexpr qint64 MaxHeaderBlock = 1024 * 1024;

QString lineTooLongText()
{
    return QStringLiteral("The server sent a line longer than %1 bytes").arg(MaxLineLength);
}

// Control characters would end the request line or a header line early and let the rest of
// the text be read as further headers; they are sent percent-encoded (request line) or as a
// blank (header values) instead.
QByteArray escapeRequestTarget(const QByteArray &target)
{
    QByteArray out;
    out.reserve(target.size());
    for (const char c : target) {
        if (c == '\r' || c == '\n' || c == '\0') {
            out += '%';
            out += QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0').toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

QByteArray flattenHeaderText(QByteArray text)
{
    for (char &c : text) {
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    }
    return text;
}

bool isCredentialHeader(const QByteArray &name)
{
    const QByteArray lower = name.trimmed().toLower();
    // The slave key is the credential of every slave-channel request of a session; the
    // "Auth-" headers carry the values of the environment variables the user chose to send,
    // which are credentials of their own (tokens, tickets).
    return lower == "authorization" || lower == "proxy-authorization" || lower == "x-zel-slave-key"
        || lower.startsWith("auth-");
}

} // namespace

ZELNetworkReply::ZELNetworkReply(QObject *parent, const QNetworkRequest &request,
                                 const QNetworkAccessManager::Operation op, QIODevice *data,
                                 QTcpSocket &socket)
    : QNetworkReply(parent)
    , m_socket(&socket)
{
    // No request ever carries a body.
    Q_UNUSED(data);

    setRequest(request);
    setOperation(op);
    setUrl(request.url());

    connect(&socket, &QTcpSocket::readyRead, this, &ZELNetworkReply::readyRead);
    connect(&socket, &QTcpSocket::readChannelFinished, this, &ZELNetworkReply::socket_readChannelFinished);
    connect(&socket, &QTcpSocket::disconnected, this, &ZELNetworkReply::socket_readChannelFinished);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ZELNetworkReply::timer_timeout);

    const QByteArray bytes = serializeRequest(request, op);
    qInfo().nospace() << "REQUEST: " << maskedForLog(bytes);

    m_state = AwaitingStatus;
    socket.write(bytes);
}

ZELNetworkReply::~ZELNetworkReply() = default;

QByteArray ZELNetworkReply::serializeRequest(const QNetworkRequest &request,
                                             QNetworkAccessManager::Operation op)
{
    QByteArray out;
    switch (op) {
    case QNetworkAccessManager::HeadOperation:
        out += "HEAD ";
        break;
    case QNetworkAccessManager::GetOperation:
        out += "GET ";
        break;
    case QNetworkAccessManager::PutOperation:
        out += "PUT ";
        break;
    case QNetworkAccessManager::PostOperation:
        out += "POST ";
        break;
    case QNetworkAccessManager::DeleteOperation:
        out += "DELETE ";
        break;
    default:
        break;
    }

    const QUrl url = request.url();
    QByteArray target = url.path().toUtf8();
    const QString query = url.query();
    if (!query.isEmpty())
        target += '?' + query.toUtf8();
    out += escapeRequestTarget(target);
    out += " HTTP/1.1\n";

    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names)
        out += flattenHeaderText(name) + ": " + flattenHeaderText(request.rawHeader(name)) + '\n';
    out += '\n';
    return out;
}

QByteArray ZELNetworkReply::maskedForLog(const QByteArray &requestBytes)
{
    QList<QByteArray> lines = requestBytes.split('\n');
    for (QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon <= 0 || !isCredentialHeader(line.left(colon)))
            continue;
        // Keep the scheme word ("Basic") so the log still tells what kind of credential went out.
        const QByteArray value = line.mid(colon + 1).trimmed();
        const int blank = value.indexOf(' ');
        const QByteArray scheme = blank > 0 ? value.left(blank + 1) : QByteArray();
        line = line.left(colon + 1) + ' ' + scheme + "********";
    }
    return lines.join('\n');
}

bool ZELNetworkReply::isSequential() const
{
    return true;
}

void ZELNetworkReply::setTimeout(int ms)
{
    m_timeoutMs = ms;
    restartTimer();
}

void ZELNetworkReply::restartTimer()
{
    if (m_timeoutMs > 0 && (m_state == AwaitingStatus || m_state == ReadingHeaders || m_state == ReadingBody))
        m_timer.start(m_timeoutMs);
    else
        m_timer.stop();
}

void ZELNetworkReply::timer_timeout()
{
    if (m_state != AwaitingStatus && m_state != ReadingHeaders && m_state != ReadingBody)
        return;
    qCritical().nospace() << "No complete HTTP response within " << m_timeoutMs << " ms, state " << m_state;
    fail(TimeoutError, QStringLiteral("The server did not answer within %1 seconds").arg((m_timeoutMs + 999) / 1000));
}

void ZELNetworkReply::close()
{
    m_state = Idle;
    m_timer.stop();
}

qint64 ZELNetworkReply::bytesAvailable() const
{
    return m_buffer.size() - m_buffer_pos;
}

void ZELNetworkReply::abort()
{
    m_state = Idle;
    m_timer.stop();
}

qint64 ZELNetworkReply::readData(char *data, qint64 maxlen)
{
    const qint64 count = qMin<qint64>(m_buffer.size() - m_buffer_pos, maxlen);
    if (count <= 0)
        return 0;
    std::memcpy(data, m_buffer.constData() + m_buffer_pos, static_cast<size_t>(count));
    m_buffer_pos += count;
    if (m_buffer_pos >= m_buffer.size()) {
        m_buffer.clear();
        m_buffer_pos = 0;
    }
    return count;
}

qint64 ZELNetworkReply::writeData(const char *, qint64)
{
    return -1;
}

void ZELNetworkReply::readyRead()
{
    qInfo() << "readyRead()";

    // A receiver of finished() or processing() may delete this reply, close the socket or
    // hand the socket to someone else; every emission is followed by a check.
    while (m_socket && m_socket->bytesAvailable() > 0 && m_state != Upgraded) {
        qInfo().nospace() << "Bytes available: " << m_socket->bytesAvailable();

        switch (m_state) {
        case Idle: {
            const QByteArray stray = m_socket->readAll();
            qCritical().nospace() << "Received data " << stray << " from socket when not expecting any!";
            break;
        }

        case ErrorState: {
            // The exchange is over; what follows cannot be told apart from garbage.
            const QByteArray dropped = m_socket->readAll();
            qWarning().nospace() << "Dropped " << dropped.size() << " bytes after a malformed response";
            break;
        }

        case AwaitingStatus: {
            if (!m_socket->canReadLine()) {
                if (lineTooLong() && !fail(ProtocolFailure, lineTooLongText()))
                    return;
                if (m_state == AwaitingStatus)
                    return;
                break;
            }
            const QByteArray line = m_socket->readLine();
            qInfo().nospace() << "Received HTTP response: " << line;
            if (!line.startsWith("HTTP/1.1 ")) {
                qCritical() << "Not HTTP 1.1!";
                if (!fail(ProtocolFailure, QStringLiteral("The server's answer is not HTTP/1.1")))
                    return;
                break;
            }
            parseStatusLine(line);
            m_headerBytes = 0;
            m_state = ReadingHeaders;
            break;
        }

        case ReadingHeaders: {
            if (!m_socket->canReadLine()) {
                if (lineTooLong() && !fail(ProtocolFailure, lineTooLongText()))
                    return;
                if (m_state == ReadingHeaders)
                    return;
                break;
            }
            const QByteArray line = m_socket->readLine();
            if (line == "\r\n") {
                qInfo() << "End of HTTP headers";
                if (!endOfHeaders())
                    return;
                // A response without a body may be complete here; what follows is not ours.
                if (m_state == Idle)
                    return;
                break;
            }
            qInfo().nospace() << "Received HTTP header: " << maskedForLog(line);
            m_headerBytes += line.size();
            if (m_headerBytes > MaxHeaderBlock) {
                qCritical().nospace() << "HTTP header block longer than " << MaxHeaderBlock << " bytes";
                if (!fail(ProtocolFailure, QStringLiteral("The server's header block is longer than %1 bytes")
                                               .arg(MaxHeaderBlock)))
                    return;
                break;
            }
            parseHeaderLine(line);
            if (m_state == ErrorState && !fail(ProtocolFailure, QStringLiteral("The server sent a malformed header line")))
                return;
            break;
        }

        case ReadingBody: {
            // Never take more than the announced length: what follows belongs to the next reader.
            const qint64 wanted = m_contentLength < 0 ? m_socket->bytesAvailable()
                                                      : m_contentLength - m_bodyReceived;
            const QByteArray chunk = m_socket->read(wanted);
            m_buffer.append(chunk);
            m_bodyReceived += chunk.size();
            qInfo().nospace() << "Received HTTP body data: " << chunk;
            if (m_bodyReceived > MaxBodyLength) {
                qCritical().nospace() << "HTTP body longer than " << MaxBodyLength << " bytes";
                if (!fail(ProtocolFailure, QStringLiteral("The server's answer is longer than %1 bytes").arg(MaxBodyLength)))
                    return;
                break;
            }
            if (m_contentLength >= 0 && m_bodyReceived == m_contentLength) {
                completeBody();
                return;
            }
            break;
        }

        case Upgraded:
            break;
        }
    }
}

void ZELNetworkReply::socket_readChannelFinished()
{
    streamEnded();
}

void ZELNetworkReply::streamEnded()
{
    if (m_state != AwaitingStatus && m_state != ReadingHeaders && m_state != ReadingBody)
        return;

    // Whatever was delivered together with the end of the stream is parsed first.
    QPointer<ZELNetworkReply> self(this);
    readyRead();
    if (!self)
        return;

    if (m_state == ReadingBody && m_contentLength < 0) {
        // Without a length the body is everything up to the end of the connection.
        completeBody();
    } else if (m_state == AwaitingStatus || m_state == ReadingHeaders || m_state == ReadingBody) {
        qCritical().nospace() << "Connection closed before the HTTP response was complete, state " << m_state;
        fail(RemoteHostClosedError, QStringLiteral("The server closed the connection before its answer was complete"));
    }
}

void ZELNetworkReply::parseStatusLine(const QByteArray &line)
{
    const QList<QByteArray> parts = line.split(' ');
    for (const QByteArray &part : parts)
        qInfo().nospace() << "PART: " << part;

    // "HTTP/1.1 200" with no reason still carries its code; the line end is not part of it.
    bool ok = false;
    const int code = parts.value(1).trimmed().toInt(&ok, 10);
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, ok ? code : 0);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, parts.value(2));
}

void ZELNetworkReply::parseHeaderLine(const QByteArray &line)
{
    const int colon = line.indexOf(':');
    if (colon <= 0) {
        qCritical() << "Parse error";
        m_state = ErrorState;
        return;
    }
    const QByteArray name = line.left(colon);
    QByteArray value = line.mid(colon + 1).trimmed();
    while (value.endsWith('\r') || value.endsWith('\n'))
        value.chop(1);
    qInfo().nospace() << "Key = " << name << "; value = " << (isCredentialHeader(name) ? QByteArray("********") : value);
    setRawHeader(name, value);
}

bool ZELNetworkReply::endOfHeaders()
{
    QPointer<ZELNetworkReply> self(this);
    const int code = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    if (code == 102) {
        m_state = AwaitingStatus;
        // The server is busy on our behalf (a VM starting): the next answer gets the full time.
        restartTimer();
        emit processing();
        return !self.isNull();
    }
    if (code == 101) {
        m_state = Upgraded;
        m_timer.stop();
        disconnect(m_socket, nullptr, this, nullptr);
        emit finished();
        return !self.isNull();
    }
    if (code >= 100 && code < 200) {
        // Any other interim response (100 Continue, 103 Early Hints) has no body and is
        // followed by the real one.
        m_state = AwaitingStatus;
        return true;
    }

    m_bodyReceived = 0;
    if (operation() == QNetworkAccessManager::HeadOperation || code == 204 || code == 304) {
        m_contentLength = 0;
    } else if (hasRawHeader("Content-Length")) {
        bool ok = false;
        const qint64 length = rawHeader("Content-Length").trimmed().toLongLong(&ok, 10);
        if (!ok || length < 0) {
            qCritical().nospace() << "Invalid Content-Length " << rawHeader("Content-Length");
            return fail(ProtocolFailure, QStringLiteral("The server announced an invalid body length"));
        }
        if (length > MaxBodyLength) {
            qCritical().nospace() << "HTTP body of " << length << " bytes announced, more than " << MaxBodyLength;
            return fail(ProtocolFailure, QStringLiteral("The server's answer is longer than %1 bytes").arg(MaxBodyLength));
        }
        m_contentLength = length;
    } else {
        m_contentLength = -1;
    }

    m_state = ReadingBody;
    if (m_contentLength == 0)
        return completeBody();
    return true;
}

bool ZELNetworkReply::completeBody()
{
    QPointer<ZELNetworkReply> self(this);
    qInfo() << "HTTP download complete";
    m_state = Idle;
    m_timer.stop();
    if (!isOpen())
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    emit finished();
    return !self.isNull();
}

bool ZELNetworkReply::fail(NetworkError code, const QString &text)
{
    // The caller learns of the failure as a completed exchange without a status code and with
    // the error set, so that nobody waits for a response that will never come.
    QPointer<ZELNetworkReply> self(this);
    m_state = ErrorState;
    m_timer.stop();
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 0);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QByteArray());
    m_buffer.clear();
    m_buffer_pos = 0;
    if (!isOpen())
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // After opening: opening a device clears its error text.
    setError(code, text);
    emit finished();
    return !self.isNull();
}

bool ZELNetworkReply::lineTooLong() const
{
    if (m_socket->bytesAvailable() <= MaxLineLength)
        return false;
    qCritical().nospace() << "HTTP line longer than " << MaxLineLength << " bytes";
    return true;
}
