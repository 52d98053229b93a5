#include "slavesharefolderwithvm.h"

#include "helpers/pathtools.h"
#include "helpers/privatefiles.h"
#include "sftpserverprocess.h"
#include "zelnetworkreply.h"

#include <QDebug>
#include <QFileInfo>
#include <QTcpSocket>
#include <QUrl>

namespace {

// An answer head longer than this is not the slave service's.
const int MaxAnswerLength = 16384;

} // namespace

SlaveShareFolderWithVM::SlaveShareFolderWithVM(const QString &folder)
    : m_folder(folder)
{
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &SlaveShareFolderWithVM::answerTimedOut);
}

SlaveShareFolderWithVM::~SlaveShareFolderWithVM()
{
    qWarning() << "Destroying SlaveShareFolderWithVM";
    delete m_server;
}

QString SlaveShareFolderWithVM::findServerProgram()
{
    const QString configured = qEnvironmentVariable("ZEL_SFTP_SERVER");
    if (!configured.isEmpty())
        return configured;
    return PathTools::findBin(QStringLiteral("sftp-server"), {});
}

QString SlaveShareFolderWithVM::problemBeforeSharing() const
{
    const QFileInfo folder(m_folder);
    if (!folder.exists())
        return QStringLiteral("the folder does not exist");
    if (!folder.isDir())
        return QStringLiteral("it is not a folder");
    if (!folder.isReadable() || !folder.isExecutable())
        return QStringLiteral("the folder cannot be read");
    if (m_sftpServerPath.isEmpty() || !QFileInfo::exists(m_sftpServerPath))
        return QStringLiteral("no SFTP server program was found (sftp-server)");
    if (!QFileInfo(m_sftpServerPath).isExecutable())
        return QStringLiteral("the SFTP server program %1 is not executable").arg(m_sftpServerPath);
    return SftpServerProcess::missingConfinement();
}

void SlaveShareFolderWithVM::run()
{
    m_sftpServerPath = findServerProgram();
    qInfo().nospace() << "My sftp_server is in " << m_sftpServerPath;

    // Nothing is asked of the VM for a folder that cannot be served.
    const QString problem = problemBeforeSharing();
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }

    QUrl url(QStringLiteral("http://localhost"));
    url.setPath(QStringLiteral("/shares/") + m_folder, QUrl::DecodedMode);
    QNetworkRequest request = createRequest(url);
    request.setRawHeader("Connection", "Upgrade");
    request.setRawHeader("Upgrade", "zel:sftp/1.0");

    // The VM speaks SFTP right after its 101, and the server reads the connection itself:
    // whatever the socket read ahead into its own buffer would never reach the server. So the
    // answer is read here one byte at a time, with the socket never buffering more than that,
    // and everything past the answer stays in the connection for the server.
    m_socket->setReadBufferSize(1);
    connect(m_socket, &QIODevice::readyRead, this, &SlaveShareFolderWithVM::socket_readyRead);
    connect(m_socket, &QAbstractSocket::disconnected, this, &SlaveShareFolderWithVM::socket_disconnected);

    const QByteArray bytes = ZELNetworkReply::serializeRequest(request, QNetworkAccessManager::PutOperation);
    qInfo().nospace() << "REQUEST: " << ZELNetworkReply::maskedForLog(bytes);
    if (requestTimeout() > 0)
        m_answerTimer.start(requestTimeout());
    m_socket->write(bytes);
}

void SlaveShareFolderWithVM::stopReading()
{
    m_answered = true;
    m_answerTimer.stop();
    if (m_socket)
        disconnect(m_socket, nullptr, this, nullptr);
}

void SlaveShareFolderWithVM::socket_readyRead()
{
    char byte = 0;
    while (!m_answered && m_socket->getChar(&byte)) {
        m_answer.append(byte);
        if (m_answer.endsWith("\n\n") || m_answer.endsWith("\n\r\n")) {
            stopReading();
            answerReceived();
            return;
        }
        if (m_answer.size() > MaxAnswerLength) {
            stopReading();
            fail(QStringLiteral("the VM's answer is not HTTP"));
            return;
        }
    }
}

void SlaveShareFolderWithVM::socket_disconnected()
{
    if (m_answered)
        return;
    stopReading();
    fail(QStringLiteral("the VM closed the connection without an answer"));
}

void SlaveShareFolderWithVM::answerTimedOut()
{
    if (m_answered)
        return;
    stopReading();
    qWarning().nospace() << "No answer from the VM's slave service within " << requestTimeout() << " ms";
    fail(QStringLiteral("the VM did not answer within %1 seconds").arg((requestTimeout() + 999) / 1000));
}

void SlaveShareFolderWithVM::abandon(const QString &reason)
{
    fail(reason);
}

void SlaveShareFolderWithVM::answerReceived()
{
    const QString logDir = PathTools::getLogDir();
    PrivateFiles::makeFolder(logDir);

    // "HTTP/1.1 101 Switching Protocols": the code is the second word of the first line.
    const QList<QByteArray> statusLine = m_answer.left(m_answer.indexOf('\n')).trimmed().split(' ');
    const int status = statusLine.value(0).startsWith("HTTP/1.") ? statusLine.value(1).toInt() : 0;
    qInfo().nospace() << "Reply from the VM: " << status;
    // Only a switch makes the connection the VM's SFTP line; on anything else no one is there
    // to serve.
    if (status != 101) {
        fail(status ? QStringLiteral("the VM refused it (status %1)").arg(status)
                    : QStringLiteral("the VM's answer is not HTTP"));
        return;
    }
    const QString problem = problemBeforeSharing();
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }

    auto *server = new SftpServerProcess(m_folder);
    m_server = server;
    // Started is not serving: the folder counts as shared once the server answers.
    connect(server, &SftpServerProcess::serving, this, [this]() {
        qInfo().nospace() << "Folder " << m_folder << " is shared with the VM";
        emit commandSuccessful();
    });
    connect(server, &SftpServerProcess::failed, this, [this, server](const QString &reason) {
        server->deleteLater();
        m_server = nullptr;
        fail(QStringLiteral("the SFTP server did not start (%1)").arg(reason));
    });
    if (!server->start(m_sftpServerPath, m_socket->socketDescriptor(), logDir + QStringLiteral("/sftp.log"))) {
        const QString reason = QStringLiteral("the SFTP server did not start (%1)").arg(server->errorString());
        m_server = nullptr;
        delete server;
        fail(reason);
        return;
    }
    // The server holds the connection now; the client's copy goes.
    m_socket->abort();
}

void SlaveShareFolderWithVM::fail(const QString &reason)
{
    m_failureReason = reason;
    qWarning().nospace() << "Folder " << m_folder << " could not be shared: " << reason;
    emit commandFailed();
}

void SlaveShareFolderWithVM::stop()
{
    m_answerTimer.stop();
    m_answered = true;
    delete m_server;
    m_server = nullptr;
}

QObject *SlaveShareFolderWithVM::takeRunningServer()
{
    SftpServerProcess *server = m_server;
    m_server = nullptr;
    return server;
}

QDebug operator<<(QDebug debug, const SlaveShareFolderWithVM &command)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "SlaveShareFolderWithVM(folder = " << command.folder() << ")";
    return debug;
}
