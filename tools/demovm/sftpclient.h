#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "streamchannel.h"

// Just enough of an SFTP (protocol version 3) client to prove that a shared folder is
// served: it lists the folder and reads one regular file from it. The result is a JSON
// object for the report; "result" is "ok", "no-answer" (the other side said nothing within
// the time limit), "closed" (it ended the connection) or "error".
class SftpClient
{
public:
    // Largest file content that is read; the rest is left out and marked as truncated.
    static constexpr qint64 MaxRead = 16 * 1024 * 1024;
    // Contents up to this size are also reported themselves, base64-encoded.
    static constexpr qint64 MaxReportedContent = 64 * 1024;

    SftpClient(StreamChannel &channel, int timeoutMs);

    QJsonObject run(const QString &folder, const QString &wantedFile);

private:
    struct Packet {
        quint8 type = 0;
        QByteArray payload;
    };
    struct Outcome {
        StreamChannel::Result result = StreamChannel::Ok;
        QString error;
        bool ok() const { return result == StreamChannel::Ok && error.isEmpty(); }
    };

    Outcome exchange(quint8 type, const QByteArray &body, Packet *reply, bool withId = true);
    Outcome openDirectory(const QByteArray &path, QByteArray *handle);
    Outcome closeHandle(const QByteArray &handle);
    Outcome listDirectory(const QByteArray &handle, QList<QJsonObject> *entries);
    Outcome readFile(const QByteArray &path, QJsonObject *file);
    Outcome statusError(const Packet &reply, const char *what) const;

    StreamChannel &m_channel;
    int m_timeoutMs;
    quint32 m_nextId = 1;
};
