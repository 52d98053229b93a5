#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "streamchannel.h"

// Just enough of an SFTP (protocol version 3) client to prove that a shared folder is
// served: it lists the folder, reads one regular file from it and, when asked, writes one
// file into it, tries to open a path outside it, reads the environment the server's processes
// show, and tries to make links in the folder. The result is a JSON
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

    QJsonObject run(const QString &folder, const QString &wantedFile, const QString &writeFile = QString(),
                    const QString &probePath = QString(), bool readEnvironment = false,
                    const QString &linkTarget = QString());

    // What the service writes into a shared folder when asked to.
    static QByteArray writtenContent(const QString &folder);

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
    Outcome readHandle(const QByteArray &handle, QByteArray *content, bool *truncated);
    // The names of the variables in a process's environment file, when the server opens it.
    Outcome readEnvironment(const QByteArray &path, QJsonObject *result);
    // Tries a symbolic link to target and a hard link to an existing file, both made in the
    // folder; the server's answer to each.
    Outcome tryLinks(const QByteArray &directory, const QByteArray &target, const QByteArray &existing,
                     QJsonObject *result);
    Outcome statusOf(quint8 type, const QByteArray &body, QJsonObject *answer);
    Outcome writeFile(const QByteArray &path, const QByteArray &content);
    // Outcome of opening path for reading; a refusal by the server is a result, not an error.
    Outcome probe(const QByteArray &path, QJsonObject *result);
    // Opens path for reading and notes in result whether the server let it; the handle stays
    // null when it did not.
    Outcome openIfAllowed(const QByteArray &path, QByteArray *handle, QJsonObject *result);
    Outcome openFile(const QByteArray &path, quint32 flags, QByteArray *handle, Packet *reply);
    Outcome statusError(const Packet &reply, const char *what) const;

    StreamChannel &m_channel;
    int m_timeoutMs;
    quint32 m_nextId = 1;
};
