#pragma once

#include "zelslavecommand.h"

#include <QString>
#include <QTimer>

class QNetworkReply;
class SftpServerProcess;

// Makes one local folder available inside the VM: asks the VM's slave service to switch the
// connection to SFTP for the folder and, once it has, hands the connection to a local SFTP
// server that serves the folder. The client never reads a byte of SFTP itself.
class SlaveShareFolderWithVM : public ZELSlaveCommand
{
public:
    explicit SlaveShareFolderWithVM(const QString &folder);
    ~SlaveShareFolderWithVM() override;

    void run() override;
    // Ends a server that was started but not yet taken over by the session.
    void stop() override;
    void abandon(const QString &reason) override;
    QObject *takeRunningServer() override;

    QString folder() const { return m_folder; }
    // Why the folder could not be shared; empty unless the command failed.
    QString failureReason() const { return m_failureReason; }

    // The SFTP server program: ZEL_SFTP_SERVER when set, else the first "sftp-server" found.
    static QString findServerProgram();

private:
    void socket_readyRead();
    void socket_disconnected();
    void answerTimedOut();
    // The answer has come, or will not come: the connection is no longer read here.
    void stopReading();
    void answerReceived();
    // The folder and the server program as they are now; empty when both are usable.
    QString problemBeforeSharing() const;
    void fail(const QString &reason);

    QString m_folder;
    QString m_sftpServerPath = QStringLiteral("/usr/lib/openssh/sftp-server");
    QString m_failureReason;
    // The VM's answer as far as it has come, read byte by byte.
    QByteArray m_answer;
    bool m_answered = false;
    QTimer m_answerTimer;
    SftpServerProcess *m_server = nullptr;
};

QDebug operator<<(QDebug debug, const SlaveShareFolderWithVM &command);
