#include "shareusbdevice.h"

#include "detachedsocket.h"
#include "exportedusbdevice.h"
#include "helpers/peercheck.h"
#include "usbip/boundusbdevices.h"
#include "usbip/usbdatabase.h"
#include "usbip/usbipdevicerecord.h"
#include "zelhttp.h"
#include "zelnetworkreply.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

namespace {

// Requests are read a piece at a time, so that the connection never holds much more than one.
const int UsbipReadChunk = 64;

bool looksLikeBusId(const QString &text)
{
    static const QRegularExpression busId(QStringLiteral("^\\d{1,3}-\\d{1,3}(\\.\\d{1,3}){0,7}$"));
    return busId.match(text).hasMatch();
}

} // namespace

ShareUSBDevice::ShareUSBDevice(const USBDevice &device)
    : m_deviceId(device.fullDevPath())
    , m_device(device)
    , m_helperCommand(UsbBindHelper::defaultCommand())
    , m_record(&BoundUsbDevices::forThisProcess())
{
}

// A device shared but not taken over by the session goes back with the command.
ShareUSBDevice::~ShareUSBDevice()
{
    delete m_exported;
}

QString ShareUSBDevice::deviceName() const
{
    return QStringLiteral("%1 %2 (%3)").arg(m_device.manufacturer(), m_device.product(), m_deviceId);
}

QString ShareUSBDevice::devicesFolder() const
{
    return m_sysfsRoot + QStringLiteral("/bus/usb/devices");
}

bool ShareUSBDevice::isChosenDeviceAt(const QString &busId) const
{
    // The same ids and serial: the same device, wherever it is plugged in.
    static const UsbDatabase noNames = UsbDatabase::empty();
    return USBDevice::fromPath(QDir(devicesFolder()).filePath(busId), noNames) == m_device;
}

QStringList ShareUSBDevice::placesOfDevice() const
{
    // The ticks follow a device by its ids and serial, wherever it is plugged in; what sits at
    // the place it was seen last is shared only when it is that device.
    if (isChosenDeviceAt(m_deviceId))
        return {m_deviceId};
    QStringList places;
    for (const QString &entry : QDir(devicesFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (looksLikeBusId(entry) && isChosenDeviceAt(entry))
            places << entry;
    }
    return places;
}

QString ShareUSBDevice::problemBeforeSharing() const
{
    if (!QFileInfo(m_sysfsRoot + QStringLiteral("/bus/usb/drivers/usbip-host")).isDir())
        return QStringLiteral("the usbip-host kernel module is not loaded (an administrator can load it with "
                              "\"modprobe usbip-host\")");
    for (const QString &program : m_helperCommand) {
        if (program.startsWith(QLatin1Char('/')) && !QFileInfo(program).isExecutable())
            return QStringLiteral("%1 is not installed").arg(program);
    }
    return QString();
}

bool ShareUSBDevice::peerIsSessionUser() const
{
    return m_socket && PeerCheck::isOwnPeer(*m_socket);
}

void ShareUSBDevice::run()
{
    const QStringList places = placesOfDevice();
    // Two devices alike, neither where the chosen one was: which one was meant cannot be told.
    if (places.size() != 1) {
        fail(places.isEmpty() ? QStringLiteral("it is not plugged in")
                              : QStringLiteral("devices like it are plugged in at %1, none where it was chosen")
                                    .arg(places.join(QStringLiteral(", "))));
        return;
    }
    const QString busId = places.first();
    if (busId != m_deviceId) {
        qInfo().noquote() << "USB device" << deviceName() << "is plugged in at" << busId << "now";
        m_deviceId = busId;
    }
    // Nothing is asked of the VM for a device that cannot be shared.
    const QString problem = problemBeforeSharing();
    if (!problem.isEmpty()) {
        fail(problem);
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
        m_socket->close();
        if (status)
            fail(QStringLiteral("the VM refused it (status %1)").arg(status));
        else if (reply && reply->error() == QNetworkReply::TimeoutError)
            fail(QStringLiteral("the VM did not answer within %1 seconds").arg((requestTimeout() + 999) / 1000));
        else
            fail(QStringLiteral("the VM did not answer"));
        return;
    }
    qInfo().noquote() << "Answering the VM's USB/IP requests for" << deviceName();
    // A peer that sends much more than it is answered is not read on.
    m_socket->setReadBufferSize(4 * UsbipReadChunk);
    connect(m_socket, &QIODevice::readyRead, this, &ShareUSBDevice::socket_readyRead);
    connect(m_socket, &QAbstractSocket::disconnected, this, &ShareUSBDevice::socket_disconnected);
    // What the VM sent right behind the switch is already waiting; no readyRead() announces it.
    socket_readyRead();
    if (!m_finished && !m_helper && m_socket->state() != QAbstractSocket::ConnectedState)
        socket_disconnected();
}

void ShareUSBDevice::socket_readyRead()
{
    while (!m_finished && !m_helper) {
        const UsbipExchange::Request request = m_exchange.next();
        if (request == UsbipExchange::Request::Incomplete) {
            const QByteArray bytes = m_socket->read(UsbipReadChunk);
            if (bytes.isEmpty())
                return;
            m_exchange.append(bytes);
        } else if (request == UsbipExchange::Request::DeviceList) {
            answerDeviceList();
        } else if (request == UsbipExchange::Request::Import) {
            answerImport(m_exchange.requestedBusId());
        } else {
            m_socket->disconnect(this);
            m_socket->close();
            fail(QStringLiteral("the VM's USB/IP request is not valid (%1)").arg(m_exchange.error()));
        }
    }
}

void ShareUSBDevice::socket_disconnected()
{
    if (m_finished || m_helper)
        return;
    m_socket->disconnect(this);
    fail(m_refusedBusId.isEmpty()
             ? QStringLiteral("the VM closed the connection without importing it")
             : QStringLiteral("the VM asked for another device (%1), which is not shared").arg(m_refusedBusId));
}

void ShareUSBDevice::answerDeviceList()
{
    // The list holds the chosen device alone, and only while it is the one plugged in there.
    QList<UsbipDeviceRecord> devices;
    UsbipDeviceRecord record;
    if (isChosenDeviceAt(m_deviceId) && record.read(QDir(devicesFolder()), m_deviceId))
        devices << record;
    qInfo().noquote().nospace() << "The VM asked for the USB device list; it holds " << devices.size() << " device";
    m_socket->write(UsbipExchange::deviceListReply(devices));
}

void ShareUSBDevice::answerImport(const QByteArray &busId)
{
    const QString requested = QString::fromLatin1(busId);
    UsbipDeviceRecord record;
    QString refusal;
    if (requested != m_deviceId)
        refusal = QStringLiteral("it is not the shared device");
    else if (!isChosenDeviceAt(m_deviceId) || !record.read(QDir(devicesFolder()), m_deviceId))
        refusal = QStringLiteral("another device is plugged in there now");
    else if (m_exchange.pendingBytes() > 0 || m_socket->bytesAvailable() > 0)
        refusal = QStringLiteral("the VM sent more behind its request");
    if (refusal.isEmpty()) {
        lendDevice(record);
        return;
    }
    // The VM's bytes reach the log only when they are a bus id.
    const QString shown = looksLikeBusId(requested) ? requested : QStringLiteral("(not a bus id)");
    qWarning().noquote() << "The VM asked to import USB device" << shown << "; refused:" << refusal;
    if (requested != m_deviceId)
        m_refusedBusId = shown;
    m_socket->write(UsbipExchange::importReply(nullptr));
}

void ShareUSBDevice::lendDevice(const UsbipDeviceRecord &record)
{
    if (!peerIsSessionUser()) {
        m_socket->write(UsbipExchange::importReply(nullptr));
        fail(QStringLiteral("the slave connection does not lead to this session"));
        return;
    }
    // Written down before it is lent, so that a crash from here on leaves a trace to give it
    // back by.
    if (!m_record->add(m_deviceId)) {
        m_socket->write(UsbipExchange::importReply(nullptr));
        fail(QStringLiteral("the record of lent USB devices cannot be written"));
        return;
    }
    m_importReply = UsbipExchange::importReply(&record);
    // The kernel sends small messages, each of which the VM waits for.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->flush();
    m_socket->disconnect(this);
    // From here on the client reads nothing of the connection: what the VM sends after the
    // answer is the kernel's.
    m_lentConnection = std::make_unique<DetachedSocket>(m_socket);
    if (m_lentConnection->descriptor() < 0) {
        m_record->remove(m_deviceId);
        m_socket->write(UsbipExchange::importReply(nullptr));
        fail(QStringLiteral("the connection could not be handed over"));
        return;
    }
    qInfo().noquote() << "The VM imports USB device" << deviceName() << "; lending it to usbip-host";
    m_helper = new UsbBindHelper(this);
    m_helper->setCommand(m_helperCommand);
    connect(m_helper, &UsbBindHelper::finished, this, &ShareUSBDevice::helper_finished);
    m_helper->startBind(m_deviceId, UsbBindHelper::identityOf(m_device), m_lentConnection->descriptor());
}

void ShareUSBDevice::helper_finished(UsbBindHelper::Outcome outcome)
{
    if (outcome == UsbBindHelper::Done) {
        // The kernel serves the device from now on; the answer tells the VM to go ahead.
        if (m_lentConnection->send(m_importReply)) {
            m_lentConnection.reset();
            m_exported = new ExportedUsbDevice(m_deviceId, m_helperCommand, m_record);
            qInfo().noquote() << "USB device" << deviceName() << "is shared with the VM";
            m_finished = true;
            emit commandSuccessful();
            return;
        }
        m_lentConnection.reset();
        ExportedUsbDevice::giveBack(m_deviceId, m_helperCommand, m_record);
        fail(QStringLiteral("the VM's connection ended before it was answered"));
        return;
    }
    const QString reason = m_helper->reason();
    m_lentConnection->send(UsbipExchange::importReply(nullptr));
    m_lentConnection.reset();
    if (!UsbBindHelper::mayLeaveDeviceBound(outcome))
        m_record->remove(m_deviceId);
    else
        ExportedUsbDevice::giveBack(m_deviceId, m_helperCommand, m_record);
    fail(reason);
}

void ShareUSBDevice::fail(const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_failureReason = reason;
    qWarning().noquote().nospace() << "USB device " << deviceName() << " could not be shared: " << reason;
    emit commandFailed();
}

void ShareUSBDevice::abandon(const QString &reason)
{
    fail(reason);
}

void ShareUSBDevice::stop()
{
    // The slave connection goes away with the client: nothing may touch it from here on.
    m_finished = true;
    if (m_socket)
        m_socket->disconnect(this);
    m_socket = nullptr;
    if (m_helper && m_helper->isRunning()) {
        // The session ends while the helper lends the device: it is let finish, and what it
        // lent goes back then.
        UsbBindHelper *helper = m_helper;
        helper->disconnect(this);
        helper->setParent(nullptr);
        const QString busId = m_deviceId;
        const QStringList command = m_helperCommand;
        BoundUsbDevices *record = m_record;
        const auto giveBackWhenDone = [helper, busId, command, record](UsbBindHelper::Outcome outcome) {
            if (UsbBindHelper::mayLeaveDeviceBound(outcome))
                ExportedUsbDevice::giveBack(busId, command, record);
            else
                record->remove(busId);
            helper->deleteLater();
        };
        connect(helper, &UsbBindHelper::finished, helper, giveBackWhenDone);
    }
    m_lentConnection.reset();
}

QObject *ShareUSBDevice::takeRunningServer()
{
    ExportedUsbDevice *exported = m_exported;
    m_exported = nullptr;
    return exported;
}

QDebug operator<<(QDebug debug, const ShareUSBDevice &command)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << "ShareUSBDevice(" << command.deviceId() << ")";
    return debug;
}
