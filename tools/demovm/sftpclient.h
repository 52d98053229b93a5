#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QString>

class QFile;

#include "streamchannel.h"

// Just enough of an SFTP (protocol version 3) client to prove that a shared folder is
// served: it lists the folder, reads one regular file from it and, when asked, writes one
// file into it, tries to open a path outside it, reads the environment the server's processes
// show, and tries to make links in the folder. A file is read with several requests in flight
// when asked, as SFTP clients copy files, and may be copied to a local file. The result is a
// JSON object for the report; "result" is "ok", "no-answer" (the other side said nothing within
// the time limit), "closed" (it ended the connection) or "error".
class SftpClient
{
public:
    // Largest file content that is read; the rest is left out and marked as truncated.
    static constexpr qint64 MaxRead = 16 * 1024 * 1024;
    // Contents up to this size are also reported themselves, base64-encoded.
    static constexpr qint64 MaxReportedContent = 64 * 1024;
    // Largest file that is copied: a copy goes to a file, not to memory.
    static constexpr qint64 MaxCopy = qint64(4) << 30;
    static constexpr int MaxReadsInFlight = 64;

    SftpClient(StreamChannel &channel, int timeoutMs);

    // Read requests of the file that may wait for their answers at once (1: one at a time).
    void setReadsInFlight(int count);
    // Where the file read is copied to; empty: nowhere.
    void setCopyPath(const QString &path) { m_copyPath = path; }

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

    // What a read delivers, in the file's order.
    struct Content {
        explicit Content(qint64 kept) : keep(kept) { }
        void take(const QByteArray &data);

        qint64 keep; // the first bytes kept in memory
        QByteArray head;
        qint64 size = 0;
        QCryptographicHash hash { QCryptographicHash::Sha256 };
        QFile *copy = nullptr;
        bool copyFailed = false;
        // The longest the reader waited for any answer while requests were out.
        qint64 longestWaitMs = 0;
    };

    Outcome exchange(quint8 type, const QByteArray &body, Packet *reply, bool withId = true);
    // The halves of an exchange, for requests that wait for their answers together.
    Outcome send(quint8 type, const QByteArray &body, quint32 *id, bool withId = true);
    Outcome receive(Packet *reply, quint32 *id, bool withId = true);
    Outcome openDirectory(const QByteArray &path, QByteArray *handle);
    Outcome closeHandle(const QByteArray &handle);
    Outcome listDirectory(const QByteArray &handle, QList<QJsonObject> *entries);
    Outcome readFile(const QByteArray &path, QJsonObject *file);
    // Reads up to limit bytes with the configured number of requests in flight.
    Outcome readHandle(const QByteArray &handle, qint64 limit, Content *content, bool *truncated);
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
    int m_readsInFlight = 1;
    QString m_copyPath;
};
