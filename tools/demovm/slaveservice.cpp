#include "slaveservice.h"

#include "sftpclient.h"
#include "slaverequest.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QThread>

namespace {

const QByteArray SftpToken = QByteArrayLiteral("zel:sftp/1.0");
const QByteArray UsbipToken = QByteArrayLiteral("zel:usbip/1.0");
const QByteArray SharesPrefix = QByteArrayLiteral("/shares/");
// Time given to the peer to close after a refusal, so that it reads the answer first.
constexpr int DrainMs = 2000;

QString keyCheckName(int check)
{
    static const char *const names[] = { "accepted", "wrong", "missing", "unconfigured" };
    return QLatin1String(names[check]);
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    // Compares in time that does not depend on where the first difference is.
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

bool hasUpgradeToken(const SlaveRequest &request, const QByteArray &token)
{
    const QList<QByteArray> upgrades = request.values("Upgrade");
    if (upgrades.size() != 1 || upgrades.first() != token)
        return false;
    for (const QByteArray &connection : request.values("Connection")) {
        for (const QByteArray &option : connection.split(',')) {
            if (option.trimmed().compare("Upgrade", Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

QByteArray response(int status, const QByteArray &reason, const QByteArray &body)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (status == 401)
        out += "WWW-Authenticate: Basic realm=\"zel-slave\"\r\n";
    out += "Content-Type: text/plain\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    return out + body;
}

QByteArray switching(const QByteArray &token)
{
    return "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: " + token + "\r\n\r\n";
}

} // namespace

SlaveService::SlaveService(const ServiceConfig &config, StreamChannel &channel)
    : m_config(config)
    , m_channel(channel)
    , m_report(config.reportPath)
{
}

SlaveService::KeyCheck SlaveService::checkKey(const SlaveRequest &request) const
{
    if (!m_config.hasKey)
        return KeyCheck::Unconfigured;
    const QList<QByteArray> values = request.values("Authorization");
    if (values.isEmpty())
        return KeyCheck::Missing;
    if (values.size() > 1)
        return KeyCheck::Wrong;
    // Header values arrive without surrounding blanks, so "Basic " with an empty key is "Basic".
    const QByteArray expected = (QByteArrayLiteral("Basic ") + m_config.key).trimmed();
    return sameBytes(values.first(), expected) ? KeyCheck::Accepted : KeyCheck::Wrong;
}

void SlaveService::refuse(int status, const QByteArray &reason, QJsonObject entry)
{
    entry.insert(QStringLiteral("status"), status);
    m_report.append(entry);
    m_channel.writeAll(response(status, reason, reason + '\n'));
    m_channel.finish(QDeadlineTimer(DrainMs));
}

int SlaveService::run()
{
    QJsonObject entry;
    entry.insert(QStringLiteral("event"), QStringLiteral("request"));

    // The request head: lines up to the empty one. Nothing after it is read here.
    QList<QByteArray> lines;
    int headLength = 0;
    const QDeadlineTimer deadline(m_config.requestTimeoutMs);
    for (;;) {
        QByteArray line;
        const StreamChannel::Result result = m_channel.readLine(&line, MaxLineLength, deadline);
        if (result == StreamChannel::TooLong || headLength + line.size() > MaxHeadLength) {
            entry.insert(QStringLiteral("error"), QStringLiteral("request head too long"));
            refuse(400, "Bad Request", entry);
            return 0;
        }
        if (result != StreamChannel::Ok) {
            entry.insert(QStringLiteral("error"), result == StreamChannel::Timeout
                                                      ? QStringLiteral("no complete request in time")
                                                      : QStringLiteral("connection ended before a complete request"));
            if (!lines.isEmpty()) {
                SlaveRequest partial;
                partial.parse(lines);
                entry.insert(QStringLiteral("partial"), QString::fromUtf8(partial.maskedHead()));
            }
            m_report.append(entry);
            if (result == StreamChannel::Timeout)
                m_channel.writeAll(response(408, "Request Timeout", "Request Timeout\n"));
            m_channel.finish(QDeadlineTimer(0));
            return 0;
        }
        headLength += line.size();
        lines.append(line);
        if (line == "\n" || line == "\r\n")
            break;
    }

    SlaveRequest request;
    const bool wellFormed = request.parse(lines);
    entry.insert(QStringLiteral("method"), QString::fromUtf8(request.method()));
    entry.insert(QStringLiteral("target"), QString::fromUtf8(request.target()));
    entry.insert(QStringLiteral("version"), QString::fromUtf8(request.version()));
    entry.insert(QStringLiteral("lineEnd"), request.lineEnd());
    QJsonArray headers;
    for (const SlaveRequest::Header &header : request.headers()) {
        const bool secret = header.first.compare("Authorization", Qt::CaseInsensitive) == 0;
        headers.append(QJsonArray { QString::fromUtf8(header.first),
                                    QString::fromUtf8(secret ? SlaveRequest::maskCredentials(header.second)
                                                             : header.second) });
    }
    entry.insert(QStringLiteral("headers"), headers);
    entry.insert(QStringLiteral("head"), QString::fromUtf8(request.maskedHead()));
    if (!wellFormed) {
        entry.insert(QStringLiteral("error"), request.error());
        refuse(400, "Bad Request", entry);
        return 0;
    }

    const KeyCheck key = checkKey(request);
    entry.insert(QStringLiteral("key"), keyCheckName(int(key)));
    if (key != KeyCheck::Accepted) {
        if (key == KeyCheck::Unconfigured && !m_config.keyProblem.isEmpty())
            entry.insert(QStringLiteral("error"), m_config.keyProblem);
        refuse(401, "Unauthorized", entry);
        return 0;
    }

    const QByteArray target = request.target();
    if (request.method() == "PUT" && target.startsWith(SharesPrefix) && target.size() > SharesPrefix.size()
        && hasUpgradeToken(request, SftpToken)) {
        const QString folder = QString::fromUtf8(target.mid(SharesPrefix.size()));
        entry.insert(QStringLiteral("folder"), folder);
        if (!m_config.refusedShare.isEmpty() && folder == m_config.refusedShare) {
            refuse(404, "Not Found", entry);
            return 0;
        }
        entry.insert(QStringLiteral("upgrade"), QString::fromLatin1(SftpToken));
        entry.insert(QStringLiteral("status"), 101);
        m_report.append(entry);
        if (!m_channel.writeAll(switching(SftpToken)))
            return 0;
        serveSftp(folder);
        return 0;
    }
    if (request.method() == "POST" && target == "/usbip" && hasUpgradeToken(request, UsbipToken)) {
        entry.insert(QStringLiteral("upgrade"), QString::fromLatin1(UsbipToken));
        entry.insert(QStringLiteral("status"), 101);
        m_report.append(entry);
        m_channel.writeAll(switching(UsbipToken));
        // Nothing is attached to the device here: the switch is recorded and the line closed.
        QJsonObject usbip;
        usbip.insert(QStringLiteral("event"), QStringLiteral("usbip"));
        usbip.insert(QStringLiteral("result"), QStringLiteral("closed"));
        m_report.append(usbip);
        m_channel.finish(QDeadlineTimer(0));
        return 0;
    }

    refuse(404, "Not Found", entry);
    return 0;
}

void SlaveService::serveSftp(const QString &folder)
{
    if (m_config.sftpDelayMs > 0)
        QThread::msleep(ulong(m_config.sftpDelayMs));
    SftpClient sftp(m_channel, m_config.sftpTimeoutMs);
    sftp.setReadsInFlight(m_config.sftpReadsInFlight);
    sftp.setCopyPath(m_config.sftpCopyPath);
    QJsonObject result = sftp.run(folder, m_config.sftpFile, m_config.sftpWriteFile, m_config.sftpProbePath,
                                  m_config.sftpReadEnvironment, m_config.sftpLinkTarget);
    result.insert(QStringLiteral("event"), QStringLiteral("sftp"));
    result.insert(QStringLiteral("folder"), folder);
    m_report.append(result);
    const bool ok = result.value(QStringLiteral("result")).toString() == QLatin1String("ok");
    if (ok)
        noteSharedFiles(folder, result);
    else
        qWarning().noquote() << "SFTP on" << folder << "ended:" << result.value(QStringLiteral("result")).toString()
                             << result.value(QStringLiteral("error")).toString();
    if (ok && m_config.sftpKeepOpen) {
        // Holds the line, as a VM that goes on using the folder, until the client side ends it.
        QByteArray ignored;
        while (m_channel.readExact(&ignored, 1, QDeadlineTimer(QDeadlineTimer::Forever)) == StreamChannel::Ok) {
        }
    }
    m_channel.finish(QDeadlineTimer(0));
}

void SlaveService::noteSharedFiles(const QString &folder, const QJsonObject &sftp)
{
    if (m_config.sharesListPath.isEmpty())
        return;
    // The first line of the file that was read proves its content came over, not just its name.
    const QJsonObject read = sftp.value(QStringLiteral("file")).toObject();
    const QString readName = read.value(QStringLiteral("name")).toString();
    const QByteArray readLine =
        QByteArray::fromBase64(read.value(QStringLiteral("contentBase64")).toString().toLatin1()).split('\n').first();

    QByteArray text = "Shared folder " + folder.toUtf8() + "\n";
    for (const QJsonValue &entry : sftp.value(QStringLiteral("entries")).toArray()) {
        const QJsonObject object = entry.toObject();
        const QString name = object.value(QStringLiteral("name")).toString();
        text += "    " + name.toUtf8();
        if (object.value(QStringLiteral("type")).toString() == QLatin1String("directory"))
            text += '/';
        if (name == readName && !readLine.isEmpty())
            text += ": \"" + readLine.left(80) + '"';
        text += '\n';
    }
    // One write of the whole block, so that services sharing the file do not interleave lines.
    QFile file(m_config.sharesListPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(text) != text.size())
        qWarning().noquote() << "cannot note the shared files in" << m_config.sharesListPath << file.errorString();
}
