#include "sftpserverprocess.h"

#include <QDebug>
#include <QDir>
#include <QPointer>
#include <QTemporaryFile>
#include <QWinEventNotifier>

#include <winsock2.h>
#include <windows.h>

// The Windows server runs as its own program, as shipped; it has no sandbox of its own.
QString SftpServerProcess::missingConfinement()
{
    return QString();
}

// The server is created suspended, the socket is duplicated into it and the duplicate's record
// written to a file named on its command line; only then is the server let run.
bool SftpServerProcess::start(const QString &program, qintptr socketDescriptor, const QString &logFile)
{
    // The record file goes when the server has ended, or with this object (a start that fails
    // included): nothing of a share is left in the temporary folder.
    auto *record = new QTemporaryFile(QDir::fromNativeSeparators(qEnvironmentVariable("TEMP"))
                                          + QStringLiteral("/zelsocket-XXXXXX"),
                                      this);
    if (!record->open()) {
        m_errorString = QStringLiteral("cannot create the socket record file: ") + record->errorString();
        return false;
    }
    const QString recordPath = QDir::toNativeSeparators(record->fileName());

    const QStringList arguments = windowsArguments(program, QDir::toNativeSeparators(m_folder),
                                                   QDir::toNativeSeparators(logFile), recordPath);
    const QString commandLine = windowsCommandLine(arguments);
    qInfo().nospace() << "Will run " << program << " with args " << arguments;
    qInfo().nospace() << "Escaped: " << commandLine;

    std::wstring commandLineWide = commandLine.toStdWString();
    const std::wstring folderWide = QDir::toNativeSeparators(m_folder).toStdWString();
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    if (!CreateProcessW(nullptr, &commandLineWide[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS | CREATE_NO_WINDOW, nullptr, folderWide.c_str(),
                        &startupInfo, &processInfo)) {
        qCritical().nospace() << "CreateProcess failed: Error " << GetLastError();
        m_errorString = QStringLiteral("the server could not be created");
        return false;
    }
    m_process = processInfo.hProcess;
    m_thread = processInfo.hThread;

    const SOCKET socket = SOCKET(socketDescriptor);
    // Qt's event dispatcher still has the socket registered for event notification, and Winsock
    // refuses to make such a socket blocking (WSAEINVAL): the registration goes first.
    if (WSAEventSelect(socket, nullptr, 0) != 0) {
        qCritical().nospace() << "WSAEventSelect failed: " << WSAGetLastError();
        m_errorString = QStringLiteral("the connection could not be handed over");
        end();
        return false;
    }
    u_long blocking = 0;
    if (ioctlsocket(socket, FIONBIO, &blocking) != 0) {
        qCritical().nospace() << "ioctlsocket failed: " << WSAGetLastError();
        m_errorString = QStringLiteral("the connection could not be handed over");
        end();
        return false;
    }
    WSAPROTOCOL_INFOW protocolInfo = {};
    const int duplicated = WSADuplicateSocketW(socket, processInfo.dwProcessId, &protocolInfo);
    if (duplicated != 0) {
        qCritical().nospace() << "WSADuplicateSocketW failed: " << duplicated;
        m_errorString = QStringLiteral("the connection could not be handed over");
        end();
        return false;
    }
    const qint64 size = qint64(sizeof(protocolInfo));
    if (record->write(reinterpret_cast<const char *>(&protocolInfo), size) != size || !record->flush()) {
        m_errorString = QStringLiteral("cannot write the socket record file: ") + record->errorString();
        end();
        return false;
    }
    record->close();

    if (ResumeThread(HANDLE(m_thread)) == DWORD(-1)) {
        qCritical().nospace() << "Failed to resume thread " << m_thread << ", error " << GetLastError();
        m_errorString = QStringLiteral("the server could not be started");
        end();
        return false;
    }

    auto *notifier = new QWinEventNotifier(HANDLE(m_process), this);
    m_exitNotifier = notifier;
    const QPointer<QTemporaryFile> recordFile(record);
    connect(notifier, &QWinEventNotifier::activated, this, [this, recordFile]() {
        qInfo().nospace() << "The SFTP server for " << m_folder << " ended";
        delete recordFile;
        m_exitNotifier->deleteLater();
        m_exitNotifier = nullptr;
        emit finished();
    });
    // Reported like on every platform: after the caller has returned.
    QMetaObject::invokeMethod(this, [this]() { report(true); }, Qt::QueuedConnection);
    return true;
}

bool SftpServerProcess::isRunning() const
{
    return m_process && WaitForSingleObject(HANDLE(m_process), 0) == WAIT_TIMEOUT;
}

// A server that is still running (or was never let run) is terminated; its handles are closed
// in every case.
void SftpServerProcess::end()
{
    delete m_exitNotifier;
    m_exitNotifier = nullptr;
    if (m_process) {
        if (WaitForSingleObject(HANDLE(m_process), 0) == WAIT_TIMEOUT) {
            qInfo().nospace() << "Ending the SFTP server for " << m_folder;
            TerminateProcess(HANDLE(m_process), 1);
        }
        CloseHandle(HANDLE(m_process));
        m_process = nullptr;
    }
    if (m_thread) {
        CloseHandle(HANDLE(m_thread));
        m_thread = nullptr;
    }
}
