#pragma once

#include "linebuffer.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

#ifndef Q_OS_WIN
class QProcess;
class QSocketNotifier;
#endif

// The local SFTP server that serves one shared folder over one slave connection the VM has
// switched to SFTP. The server reads and writes that connection itself; the client hands it
// over and keeps no part in the exchange. On Linux it is confined to the folder and to what it
// needs to run (bubblewrap), with no environment of the client's, no terminal, and no links
// made through it; it is never run unconfined. The server ends with this object, so that
// nothing of a session is left serving once the session is over.
class SftpServerProcess : public QObject
{
    Q_OBJECT

public:
    explicit SftpServerProcess(const QString &folder, QObject *parent = nullptr);
    ~SftpServerProcess() override;

    // What keeps a server from being started confined here; empty when nothing does.
    static QString missingConfinement();

    // Starts program on the connected socket, serving the folder and appending its log to
    // logFile (which only the user can read). False, with errorString(), when it cannot be
    // started at all; otherwise exactly one of serving() or failed() follows.
    bool start(const QString &program, qintptr socketDescriptor, const QString &logFile);
    bool isRunning() const;
    QString errorString() const { return m_errorString; }
    QString folder() const { return m_folder; }

    // The Windows server's arguments, program first: verbose, the folder, its log file and
    // the file that holds the duplicated socket.
    static QStringList windowsArguments(const QString &program, const QString &folder, const QString &logFile,
                                        const QString &socketRecordFile);
    // The one command line the Windows server is started with. Each argument has its double
    // quotes escaped and then every backslash doubled; one with a blank or tab is enclosed in
    // double quotes; every argument is followed by one blank. The server reads its options back
    // by these rules.
    static QString windowsCommandLine(const QStringList &arguments);

signals:
    // The server answers: it has taken the connection and serves the folder. A server whose VM
    // closed the connection at once, and which then ended without an error, has served too.
    void serving();
    // The server never got to serve: the sandbox did not start, or the server stopped with an
    // error first. The reason is for the user.
    void failed(const QString &reason);
    // The server ended (the VM closed the connection, or the server stopped on its own).
    void finished();

private:
    void end();
    void report(bool served, const QString &reason = QString());

    QString m_folder;
    QString m_errorString;
    bool m_reported = false;
#ifdef Q_OS_WIN
    void *m_process = nullptr;
    void *m_thread = nullptr;
    QObject *m_exitNotifier = nullptr;
#else
    void readServerOutput();
    void readStatus();
    void serverEnded(int exitCode, bool crashed);

    QProcess *m_process = nullptr;
    // The server's log, written by the client from what the server says.
    QFile m_log;
    LineBuffer m_output;
    QString m_lastLine;
    // bubblewrap's status: it tells when the sandbox has started its program.
    int m_statusFd = -1;
    QSocketNotifier *m_statusNotifier = nullptr;
    QByteArray m_status;
    bool m_sandboxStarted = false;
#endif
};
