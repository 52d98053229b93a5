#include "shareusbdevice.h"

#include "helpers/pathtools.h"
#include "socketforwarder.h"
#include "usbip/usbdevice.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"

#include <QDebug>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QUrl>

namespace {

const char installedBindProgram[] = "/usr/lib/zel/bin/zel-client-slaveclient-usbip";

} // namespace

ShareUSBDevice::ShareUSBDevice(const USBDevice &device)
    : m_deviceId(device.fullDevPath())
    , m_usbipPath(findBindProgram())
{
}

// The usbipd connection and the relay are children; a bind helper that still runs ends with
// m_process.
ShareUSBDevice::~ShareUSBDevice() = default;

QString ShareUSBDevice::bindProgramName()
{
    return QStringLiteral("zel-client-slaveclient-usbip");
}

QString ShareUSBDevice::findBindProgram()
{
    const QString found = PathTools::findBin(bindProgramName(), {});
    return found.isEmpty() ? QString::fromLatin1(installedBindProgram) : found;
}

void ShareUSBDevice::run()
{
    qInfo().noquote().nospace() << "Will run " << m_usbipPath;
    const QFileInfo program(m_usbipPath);
    if (!program.exists()) {
        qWarning().noquote().nospace() << "The USB bind helper " << m_usbipPath << " does not exist";
        report(false);
        return;
    }
    if (!program.isExecutable()) {
        qWarning().noquote().nospace() << "The USB bind helper " << m_usbipPath << " is not executable";
        report(false);
        return;
    }

    connect(&m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ShareUSBDevice::processFinished);
    connect(&m_process, &QProcess::errorOccurred, this, &ShareUSBDevice::processError);
    // The helper's messages say why a bind failed; they go to the client's log.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(m_usbipPath, {QStringLiteral("bind"), m_deviceId}, QIODevice::ReadWrite);
    m_process.closeWriteChannel();
}

void ShareUSBDevice::logHelperOutput(bool failed)
{
    const QList<QByteArray> lines = m_process.readAll().trimmed().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        if (failed)
            qWarning().noquote().nospace() << bindProgramName() << ": " << QString::fromLocal8Bit(line);
        else
            qInfo().noquote().nospace() << bindProgramName() << ": " << QString::fromLocal8Bit(line);
    }
}

void ShareUSBDevice::processError(QProcess::ProcessError error)
{
    // A program that never started emits no finished(); every other error is followed by it.
    if (error != QProcess::FailedToStart)
        return;
    qWarning().noquote().nospace() << "Could not start " << m_usbipPath << ": " << m_process.errorString();
    report(false);
}

void ShareUSBDevice::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_finished)
        return;
    const bool failed = exitCode != 0 || exitStatus != QProcess::NormalExit;
    logHelperOutput(failed);
    if (failed) {
        qWarning().nospace() << "Process finished with code " << exitCode << "; status " << exitStatus;
        report(false);
        return;
    }
    QUrl url(QStringLiteral("http://localhost"));
    url.setPath(QStringLiteral("/usbip"), QUrl::DecodedMode);
    QNetworkRequest request = createRequest(url);
    request.setRawHeader("Connection", "Upgrade");
    request.setRawHeader("Upgrade", "zel:usbip/1.0");
    ZELNetworkReply *reply = m_http->post(request, nullptr);
    connect(reply, &QNetworkReply::finished, this, &ShareUSBDevice::http_finished);
}

void ShareUSBDevice::http_finished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const int status = reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    if (m_finished || !m_socket)
        return;
    if (status != 101) {
        qWarning().noquote().nospace() << "The VM refused the USB device " << m_deviceId << ": status " << status;
        m_socket->close();
        report(false);
        return;
    }
    connectToUsbipd();
}

void ShareUSBDevice::connectToUsbipd()
{
    qInfo().noquote().nospace() << "Relaying USB device " << m_deviceId << " to usbipd at 127.0.0.1:" << m_usbipdPort;
    m_usbipd = new QTcpSocket(this);
    connect(m_usbipd, &QTcpSocket::connected, this, &ShareUSBDevice::startRelay);
    connect(m_usbipd, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_forwarder)
            return; // the end of a running relay is seen through disconnected()
        qWarning().noquote().nospace() << "Cannot reach usbipd at 127.0.0.1:" << m_usbipdPort << " for USB device "
                                       << m_deviceId << ": " << m_usbipd->errorString()
                                       << " (is usbipd running?)";
        m_socket->close();
        report(false);
    });
    m_usbipd->connectToHost(QHostAddress(QHostAddress::LocalHost), m_usbipdPort);
}

void ShareUSBDevice::startRelay()
{
    m_forwarder = new SocketForwarder(this, m_socket, m_usbipd);
    connect(m_usbipd, &QAbstractSocket::disconnected, this, &ShareUSBDevice::endRelay);
    connect(m_socket, &QAbstractSocket::disconnected, this, &ShareUSBDevice::endRelay);
    // What the VM sent right behind the switch is already waiting; no readyRead() announces it.
    if (m_socket->bytesAvailable() > 0)
        m_forwarder->socketA_readyRead();
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        endRelay();
}

void ShareUSBDevice::endRelay()
{
    if (m_finished)
        return;
    qInfo().noquote().nospace() << "USB/IP relay for USB device " << m_deviceId << " ended";
    if (m_socket)
        m_socket->close();
    if (m_usbipd)
        m_usbipd->close();
    report(true);
}

void ShareUSBDevice::report(bool success)
{
    if (m_finished)
        return;
    m_finished = true;
    if (success)
        emit commandSuccessful();
    else
        emit commandFailed();
}

void ShareUSBDevice::stop()
{
    // The slave connection goes away with the client: nothing may touch it from here on.
    m_finished = true;
    m_process.disconnect(this);
    if (m_socket)
        m_socket->disconnect(this);
    delete m_forwarder;
    m_forwarder = nullptr;
    if (m_usbipd) {
        m_usbipd->disconnect(this);
        m_usbipd->abort();
    }
    m_socket = nullptr;
}

QDebug operator<<(QDebug debug, const ShareUSBDevice &command)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ShareUSBDevice(" << command.deviceId() << ")";
    return debug;
}
