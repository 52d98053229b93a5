#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#ifndef Q_OS_WIN
class QProcess;
#endif

// The local SFTP server that serves one shared folder over one slave connection the VM has
// switched to SFTP. The server reads and writes that connection itself; the client hands it
// over and keeps no part in the exchange. The server ends with this object, so that nothing
// of a session is left serving once the session is over.
class SftpServerProcess : public QObject
{
    Q_OBJECT

public:
    explicit SftpServerProcess(const QString &folder, QObject *parent = nullptr);
    ~SftpServerProcess() override;

    // Starts program on the connected socket, serving the folder and appending its log to
    // logFile. Returns once the server runs; false, with errorString(), when it cannot start
    // (nothing of it is left running then).
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
    // The server ended (the VM closed the connection, or the server stopped on its own).
    void finished();

private:
    void end();

    QString m_folder;
    QString m_errorString;
#ifdef Q_OS_WIN
    void *m_process = nullptr;
    void *m_thread = nullptr;
    QObject *m_exitNotifier = nullptr;
#else
    QProcess *m_process = nullptr;
#endif
};
