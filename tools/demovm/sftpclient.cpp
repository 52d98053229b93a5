#include "sftpclient.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QMap>
#include <QtEndian>

#include <algorithm>

namespace {

enum : quint8 {
    FxpInit = 1,
    FxpVersion = 2,
    FxpOpen = 3,
    FxpClose = 4,
    FxpRead = 5,
    FxpWrite = 6,
    FxpOpendir = 11,
    FxpReaddir = 12,
    FxpSymlink = 20,
    FxpStatus = 101,
    FxpHandle = 102,
    FxpData = 103,
    FxpName = 104,
    FxpExtended = 200,
};

enum : quint32 {
    FxOk = 0,
    FxEof = 1,
    FxfRead = 0x00000001,
    FxfWrite = 0x00000002,
    FxfCreat = 0x00000008,
    FxfTrunc = 0x00000010,
    AttrSize = 0x00000001,
    AttrUidGid = 0x00000002,
    AttrPermissions = 0x00000004,
    AttrAcModTime = 0x00000008,
    AttrExtended = 0x80000000,
};

// Replies are bounded: sftp-server sends at most 256 KiB of data in one packet.
constexpr quint32 MaxPacket = 1024 * 1024;
constexpr quint32 ReadChunk = 32768;
constexpr int MaxEntries = 10000;

void putUint32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void putUint64(QByteArray &out, quint64 value)
{
    char bytes[8];
    qToBigEndian(value, bytes);
    out.append(bytes, 8);
}

void putString(QByteArray &out, const QByteArray &text)
{
    putUint32(out, quint32(text.size()));
    out.append(text);
}

class Reader
{
public:
    explicit Reader(const QByteArray &data) : m_data(data) { }

    bool ok() const { return m_ok; }

    quint32 uint32()
    {
        if (!need(4))
            return 0;
        const quint32 value = qFromBigEndian<quint32>(m_data.constData() + m_pos);
        m_pos += 4;
        return value;
    }
    quint64 uint64()
    {
        if (!need(8))
            return 0;
        const quint64 value = qFromBigEndian<quint64>(m_data.constData() + m_pos);
        m_pos += 8;
        return value;
    }
    QByteArray string()
    {
        const quint32 length = uint32();
        if (!need(qint64(length)))
            return QByteArray();
        const QByteArray value = m_data.mid(m_pos, int(length));
        m_pos += int(length);
        return value;
    }
    // Reads a file attribute block; returns size and permissions when present.
    void attributes(qint64 *size, qint64 *permissions)
    {
        *size = -1;
        *permissions = -1;
        const quint32 flags = uint32();
        if (flags & AttrSize)
            *size = qint64(uint64());
        if (flags & AttrUidGid) {
            uint32();
            uint32();
        }
        if (flags & AttrPermissions)
            *permissions = uint32();
        if (flags & AttrAcModTime) {
            uint32();
            uint32();
        }
        if (flags & AttrExtended) {
            const quint32 count = uint32();
            for (quint32 i = 0; i < count && m_ok; ++i) {
                string();
                string();
            }
        }
    }

private:
    bool need(qint64 count)
    {
        if (!m_ok || count > m_data.size() - m_pos)
            m_ok = false;
        return m_ok;
    }

    const QByteArray &m_data;
    int m_pos = 0;
    bool m_ok = true;
};

QString typeName(qint64 permissions)
{
    if (permissions < 0)
        return QStringLiteral("unknown");
    switch (permissions & 0170000) {
    case 0100000: return QStringLiteral("file");
    case 0040000: return QStringLiteral("directory");
    case 0120000: return QStringLiteral("symlink");
    default: return QStringLiteral("other");
    }
}

QString resultName(StreamChannel::Result result)
{
    switch (result) {
    case StreamChannel::Timeout: return QStringLiteral("no-answer");
    case StreamChannel::Closed: return QStringLiteral("closed");
    default: return QStringLiteral("error");
    }
}

} // namespace

SftpClient::SftpClient(StreamChannel &channel, int timeoutMs)
    : m_channel(channel)
    , m_timeoutMs(timeoutMs)
{
}

void SftpClient::setReadsInFlight(int count)
{
    m_readsInFlight = std::clamp(count, 1, MaxReadsInFlight);
}

SftpClient::Outcome SftpClient::send(quint8 type, const QByteArray &body, quint32 *id, bool withId)
{
    Outcome outcome;
    *id = m_nextId++;
    QByteArray packet;
    putUint32(packet, quint32(1 + (withId ? 4 : 0) + body.size()));
    packet.append(char(type));
    if (withId)
        putUint32(packet, *id);
    packet.append(body);
    if (!m_channel.writeAll(packet))
        outcome.result = StreamChannel::Closed;
    return outcome;
}

SftpClient::Outcome SftpClient::receive(Packet *reply, quint32 *id, bool withId)
{
    Outcome outcome;
    const QDeadlineTimer deadline(m_timeoutMs);
    QByteArray lengthBytes;
    outcome.result = m_channel.readExact(&lengthBytes, 4, deadline);
    if (outcome.result != StreamChannel::Ok)
        return outcome;
    const quint32 length = qFromBigEndian<quint32>(lengthBytes.constData());
    if (length < 1 || length > MaxPacket) {
        outcome.error = QStringLiteral("reply packet of %1 bytes").arg(length);
        return outcome;
    }
    QByteArray data;
    outcome.result = m_channel.readExact(&data, int(length), deadline);
    if (outcome.result != StreamChannel::Ok)
        return outcome;

    reply->type = quint8(data.at(0));
    reply->payload = data.mid(1);
    if (withId) {
        Reader reader(reply->payload);
        *id = reader.uint32();
        if (!reader.ok()) {
            outcome.error = QStringLiteral("reply without a request id");
            return outcome;
        }
        reply->payload.remove(0, 4);
    }
    return outcome;
}

SftpClient::Outcome SftpClient::exchange(quint8 type, const QByteArray &body, Packet *reply, bool withId)
{
    quint32 id = 0;
    Outcome outcome = send(type, body, &id, withId);
    if (!outcome.ok())
        return outcome;
    quint32 replyId = id;
    outcome = receive(reply, &replyId, withId);
    if (outcome.ok() && replyId != id)
        outcome.error = QStringLiteral("reply to request %1 carries the id %2").arg(id).arg(replyId);
    return outcome;
}

SftpClient::Outcome SftpClient::statusError(const Packet &reply, const char *what) const
{
    Outcome outcome;
    if (reply.type == FxpStatus) {
        Reader reader(reply.payload);
        const quint32 code = reader.uint32();
        const QByteArray message = reader.string();
        outcome.error = QStringLiteral("%1: status %2 %3").arg(QLatin1String(what)).arg(code)
                            .arg(QString::fromUtf8(message));
    } else {
        outcome.error = QStringLiteral("%1: unexpected reply type %2").arg(QLatin1String(what)).arg(reply.type);
    }
    return outcome;
}

SftpClient::Outcome SftpClient::openDirectory(const QByteArray &path, QByteArray *handle)
{
    QByteArray body;
    putString(body, path);
    Packet reply;
    Outcome outcome = exchange(FxpOpendir, body, &reply);
    if (!outcome.ok())
        return outcome;
    if (reply.type != FxpHandle)
        return statusError(reply, "opendir");
    Reader reader(reply.payload);
    *handle = reader.string();
    if (!reader.ok())
        outcome.error = QStringLiteral("opendir: malformed handle");
    return outcome;
}

SftpClient::Outcome SftpClient::closeHandle(const QByteArray &handle)
{
    QByteArray body;
    putString(body, handle);
    Packet reply;
    Outcome outcome = exchange(FxpClose, body, &reply);
    if (!outcome.ok())
        return outcome;
    Reader reader(reply.payload);
    if (reply.type != FxpStatus || reader.uint32() != FxOk)
        return statusError(reply, "close");
    return outcome;
}

SftpClient::Outcome SftpClient::listDirectory(const QByteArray &handle, QList<QJsonObject> *entries)
{
    QByteArray body;
    putString(body, handle);
    for (;;) {
        Packet reply;
        Outcome outcome = exchange(FxpReaddir, body, &reply);
        if (!outcome.ok())
            return outcome;
        if (reply.type == FxpStatus) {
            Reader reader(reply.payload);
            if (reader.uint32() == FxEof)
                return outcome;
            return statusError(reply, "readdir");
        }
        if (reply.type != FxpName)
            return statusError(reply, "readdir");

        Reader reader(reply.payload);
        const quint32 count = reader.uint32();
        for (quint32 i = 0; i < count && reader.ok(); ++i) {
            const QByteArray name = reader.string();
            reader.string(); // the long, ls-style form
            qint64 size = -1;
            qint64 permissions = -1;
            reader.attributes(&size, &permissions);
            if (!reader.ok())
                break;
            if (name == "." || name == "..")
                continue;
            QJsonObject entry;
            entry.insert(QStringLiteral("name"), QString::fromUtf8(name));
            entry.insert(QStringLiteral("type"), typeName(permissions));
            if (size >= 0)
                entry.insert(QStringLiteral("size"), size);
            if (permissions >= 0)
                entry.insert(QStringLiteral("permissions"), QString::number(permissions & 07777, 8));
            entries->append(entry);
        }
        if (!reader.ok()) {
            outcome.error = QStringLiteral("readdir: malformed name list");
            return outcome;
        }
        if (entries->size() > MaxEntries) {
            outcome.error = QStringLiteral("readdir: more than %1 entries").arg(MaxEntries);
            return outcome;
        }
    }
}

SftpClient::Outcome SftpClient::openFile(const QByteArray &path, quint32 flags, QByteArray *handle, Packet *reply)
{
    QByteArray body;
    putString(body, path);
    putUint32(body, flags);
    putUint32(body, 0); // no attributes
    Outcome outcome = exchange(FxpOpen, body, reply);
    if (!outcome.ok() || reply->type != FxpHandle)
        return outcome;
    Reader reader(reply->payload);
    *handle = reader.string();
    if (!reader.ok())
        outcome.error = QStringLiteral("open: malformed handle");
    return outcome;
}

void SftpClient::Content::take(const QByteArray &data)
{
    hash.addData(data);
    if (head.size() < keep)
        head.append(data.left(int(keep - head.size())));
    if (copy && !copyFailed)
        copyFailed = copy->write(data) != data.size();
    size += data.size();
}

SftpClient::Outcome SftpClient::readFile(const QByteArray &path, QJsonObject *file)
{
    Packet reply;
    QByteArray handle;
    Outcome outcome = openFile(path, FxfRead, &handle, &reply);
    if (!outcome.ok())
        return outcome;
    if (reply.type != FxpHandle)
        return statusError(reply, "open");

    Content content(MaxReportedContent);
    QFile copy(m_copyPath);
    if (!m_copyPath.isEmpty()) {
        if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            outcome.error = QStringLiteral("cannot write the copy: %1").arg(copy.errorString());
            return outcome;
        }
        content.copy = &copy;
    }
    bool truncated = false;
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    outcome = readHandle(handle, content.copy ? MaxCopy : MaxRead, &content, &truncated);
    const qint64 ended = QDateTime::currentMSecsSinceEpoch();
    if (!outcome.ok())
        return outcome;
    if (content.copy && (content.copyFailed || !copy.flush())) {
        outcome.error = QStringLiteral("cannot write the copy: %1").arg(copy.errorString());
        return outcome;
    }
    file->insert(QStringLiteral("size"), content.size);
    file->insert(QStringLiteral("sha256"), QString::fromLatin1(content.hash.result().toHex()));
    if (content.size <= MaxReportedContent)
        file->insert(QStringLiteral("contentBase64"), QString::fromLatin1(content.head.toBase64()));
    if (truncated)
        file->insert(QStringLiteral("truncated"), true);
    file->insert(QStringLiteral("readStarted"), started);
    file->insert(QStringLiteral("readEnded"), ended);
    file->insert(QStringLiteral("longestWaitMs"), content.longestWaitMs);
    return closeHandle(handle);
}

// Requests go out while fewer than the allowed number wait for their answers, each for the next
// block. The server may answer a request with less than was asked: the rest is asked for again.
// Blocks are handed on in the file's order, whatever the order of the answers.
SftpClient::Outcome SftpClient::readHandle(const QByteArray &handle, qint64 limit, Content *content, bool *truncated)
{
    struct Block {
        qint64 offset;
        quint32 length;
    };
    QHash<quint32, Block> waiting;
    QMap<qint64, QByteArray> early;
    qint64 next = 0;
    bool eof = false;
    Outcome outcome;

    const auto request = [&](qint64 offset, quint32 length) {
        QByteArray body;
        putString(body, handle);
        putUint64(body, quint64(offset));
        putUint32(body, length);
        quint32 id = 0;
        const Outcome sent = send(FxpRead, body, &id);
        if (sent.ok())
            waiting.insert(id, Block { offset, length });
        return sent;
    };

    for (;;) {
        while (!eof && next < limit && waiting.size() < m_readsInFlight) {
            const quint32 length = quint32(qMin<qint64>(ReadChunk, limit - next));
            outcome = request(next, length);
            if (!outcome.ok())
                return outcome;
            next += length;
        }
        if (waiting.isEmpty())
            break;

        Packet reply;
        quint32 id = 0;
        QElapsedTimer wait;
        wait.start();
        outcome = receive(&reply, &id);
        if (!outcome.ok())
            return outcome;
        content->longestWaitMs = std::max(content->longestWaitMs, wait.elapsed());
        const auto found = waiting.constFind(id);
        if (found == waiting.constEnd()) {
            outcome.error = QStringLiteral("read: reply to request %1, which is not waiting").arg(id);
            return outcome;
        }
        const Block block = found.value();
        waiting.erase(found);

        if (reply.type == FxpStatus) {
            Reader reader(reply.payload);
            if (reader.uint32() != FxEof)
                return statusError(reply, "read");
            eof = true;
            continue;
        }
        if (reply.type != FxpData)
            return statusError(reply, "read");
        Reader reader(reply.payload);
        const QByteArray data = reader.string();
        if (!reader.ok() || data.isEmpty() || quint32(data.size()) > block.length) {
            outcome.error = QStringLiteral("read: malformed data");
            return outcome;
        }
        if (quint32(data.size()) < block.length && !eof) {
            outcome = request(block.offset + data.size(), block.length - quint32(data.size()));
            if (!outcome.ok())
                return outcome;
        }
        early.insert(block.offset, data);
        while (!early.isEmpty() && early.firstKey() == content->size)
            content->take(early.take(content->size));
    }
    if (!early.isEmpty()) {
        outcome.error = QStringLiteral("read: data after the end of the file");
        return outcome;
    }
    *truncated = !eof && content->size >= limit;
    return outcome;
}

SftpClient::Outcome SftpClient::readEnvironment(const QByteArray &path, QJsonObject *result)
{
    QByteArray handle;
    Outcome outcome = openIfAllowed(path, &handle, result);
    if (!outcome.ok() || handle.isNull())
        return outcome;
    Content content(MaxRead);
    bool truncated = false;
    outcome = readHandle(handle, MaxRead, &content, &truncated);
    if (!outcome.ok())
        return outcome;
    // Names only: the values may be secrets.
    QJsonArray names;
    for (const QByteArray &variable : content.head.split('\0')) {
        if (!variable.isEmpty())
            names.append(QString::fromUtf8(variable.left(variable.indexOf('='))));
    }
    result->insert(QStringLiteral("names"), names);
    return closeHandle(handle);
}

SftpClient::Outcome SftpClient::statusOf(quint8 type, const QByteArray &body, QJsonObject *answer)
{
    Packet reply;
    Outcome outcome = exchange(type, body, &reply);
    if (!outcome.ok())
        return outcome;
    if (reply.type != FxpStatus)
        return statusError(reply, "link");
    Reader reader(reply.payload);
    answer->insert(QStringLiteral("status"), qint64(reader.uint32()));
    answer->insert(QStringLiteral("message"), QString::fromUtf8(reader.string()));
    return outcome;
}

SftpClient::Outcome SftpClient::tryLinks(const QByteArray &directory, const QByteArray &target,
                                         const QByteArray &existing, QJsonObject *result)
{
    const QByteArray folder = directory.endsWith('/') ? directory : directory + '/';
    // OpenSSH's server takes the target first, then the link's path.
    QByteArray symlink;
    putString(symlink, target);
    putString(symlink, folder + "link-from-vm");
    QJsonObject symlinkAnswer;
    Outcome outcome = statusOf(FxpSymlink, symlink, &symlinkAnswer);
    if (!outcome.ok())
        return outcome;
    result->insert(QStringLiteral("symlink"), symlinkAnswer);

    QByteArray hardlink;
    putString(hardlink, "hardlink@openssh.com");
    putString(hardlink, existing);
    putString(hardlink, folder + "hardlink-from-vm");
    QJsonObject hardlinkAnswer;
    outcome = statusOf(FxpExtended, hardlink, &hardlinkAnswer);
    result->insert(QStringLiteral("hardlink"), hardlinkAnswer);
    return outcome;
}

QByteArray SftpClient::writtenContent(const QString &folder)
{
    return "Written by the demo VM through SFTP into " + folder.toUtf8() + "\n";
}

SftpClient::Outcome SftpClient::writeFile(const QByteArray &path, const QByteArray &content)
{
    Packet reply;
    QByteArray handle;
    Outcome outcome = openFile(path, FxfWrite | FxfCreat | FxfTrunc, &handle, &reply);
    if (!outcome.ok())
        return outcome;
    if (reply.type != FxpHandle)
        return statusError(reply, "open for writing");
    QByteArray request;
    putString(request, handle);
    putUint64(request, 0);
    putString(request, content);
    outcome = exchange(FxpWrite, request, &reply);
    if (!outcome.ok())
        return outcome;
    Reader reader(reply.payload);
    if (reply.type != FxpStatus || reader.uint32() != FxOk)
        return statusError(reply, "write");
    return closeHandle(handle);
}

SftpClient::Outcome SftpClient::probe(const QByteArray &path, QJsonObject *result)
{
    QByteArray handle;
    const Outcome outcome = openIfAllowed(path, &handle, result);
    if (!outcome.ok() || handle.isNull())
        return outcome;
    return closeHandle(handle);
}

SftpClient::Outcome SftpClient::openIfAllowed(const QByteArray &path, QByteArray *handle, QJsonObject *result)
{
    Packet reply;
    const Outcome outcome = openFile(path, FxfRead, handle, &reply);
    if (!outcome.ok())
        return outcome;
    result->insert(QStringLiteral("path"), QString::fromUtf8(path));
    result->insert(QStringLiteral("opened"), reply.type == FxpHandle);
    if (reply.type != FxpHandle) {
        *handle = QByteArray();
        result->insert(QStringLiteral("refusal"), statusError(reply, "open").error);
    }
    return outcome;
}

QJsonObject SftpClient::run(const QString &folder, const QString &wantedFile, const QString &writeFile,
                            const QString &probePath, bool readEnvironment, const QString &linkTarget)
{
    QJsonObject report;
    auto fail = [&report](const Outcome &outcome) {
        report.insert(QStringLiteral("result"), resultName(outcome.result));
        if (!outcome.error.isEmpty())
            report.insert(QStringLiteral("error"), outcome.error);
        return report;
    };

    // The opening packet has no request id: type, then the version we speak.
    QByteArray version;
    putUint32(version, 3);
    Packet reply;
    Outcome outcome = exchange(FxpInit, version, &reply, false);
    if (!outcome.ok())
        return fail(outcome);
    if (reply.type != FxpVersion) {
        outcome.error = QStringLiteral("init: unexpected reply type %1").arg(reply.type);
        return fail(outcome);
    }
    {
        Reader reader(reply.payload);
        report.insert(QStringLiteral("serverVersion"), qint64(reader.uint32()));
    }

    // The folder as the client named it; a server started in that folder also knows it as ".".
    QByteArray directory = folder.toUtf8();
    QByteArray handle;
    outcome = openDirectory(directory, &handle);
    if (outcome.result == StreamChannel::Ok && !outcome.error.isEmpty()) {
        report.insert(QStringLiteral("folderError"), outcome.error);
        directory = ".";
        outcome = openDirectory(directory, &handle);
    }
    if (!outcome.ok())
        return fail(outcome);
    report.insert(QStringLiteral("directory"), QString::fromUtf8(directory));

    QList<QJsonObject> entries;
    outcome = listDirectory(handle, &entries);
    if (!outcome.ok())
        return fail(outcome);
    outcome = closeHandle(handle);
    if (!outcome.ok())
        return fail(outcome);

    std::sort(entries.begin(), entries.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("name")).toString() < b.value(QStringLiteral("name")).toString();
    });
    QJsonArray list;
    QString chosen = wantedFile;
    for (const QJsonObject &entry : qAsConst(entries)) {
        list.append(entry);
        if (chosen.isEmpty() && entry.value(QStringLiteral("type")).toString() == QLatin1String("file"))
            chosen = entry.value(QStringLiteral("name")).toString();
    }
    report.insert(QStringLiteral("entries"), list);

    if (!chosen.isEmpty()) {
        QJsonObject file;
        file.insert(QStringLiteral("name"), chosen);
        QByteArray path = directory;
        if (!path.endsWith('/'))
            path += '/';
        path += chosen.toUtf8();
        outcome = readFile(path, &file);
        report.insert(QStringLiteral("file"), file);
        if (!outcome.ok())
            return fail(outcome);
    }

    if (!writeFile.isEmpty()) {
        QByteArray path = directory;
        if (!path.endsWith('/'))
            path += '/';
        path += writeFile.toUtf8();
        const QByteArray content = writtenContent(folder);
        outcome = this->writeFile(path, content);
        report.insert(QStringLiteral("written"),
                      QJsonObject{{QStringLiteral("name"), writeFile}, {QStringLiteral("size"), content.size()}});
        if (!outcome.ok())
            return fail(outcome);
    }

    if (!probePath.isEmpty()) {
        QJsonObject result;
        outcome = probe(probePath.toUtf8(), &result);
        report.insert(QStringLiteral("probe"), result);
        if (!outcome.ok())
            return fail(outcome);
    }

    if (readEnvironment) {
        // The server's own environment, and that of the first process it can see.
        QJsonArray environments;
        for (const QByteArray &path : {QByteArrayLiteral("/proc/self/environ"), QByteArrayLiteral("/proc/1/environ")}) {
            QJsonObject result;
            outcome = this->readEnvironment(path, &result);
            environments.append(result);
            if (!outcome.ok()) {
                report.insert(QStringLiteral("environ"), environments);
                return fail(outcome);
            }
        }
        report.insert(QStringLiteral("environ"), environments);
    }

    if (!linkTarget.isEmpty() && !chosen.isEmpty()) {
        QJsonObject result;
        QByteArray existing = directory;
        if (!existing.endsWith('/'))
            existing += '/';
        existing += chosen.toUtf8();
        outcome = tryLinks(directory, linkTarget.toUtf8(), existing, &result);
        report.insert(QStringLiteral("links"), result);
        if (!outcome.ok())
            return fail(outcome);
    }

    report.insert(QStringLiteral("result"), QStringLiteral("ok"));
    return report;
}
