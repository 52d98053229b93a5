#pragma once

#include "zelslavecommand.h"

#include <QPointer>
#include <QProcess>
#include <QString>

class QTcpSocket;
class SocketForwarder;
class USBDevice;

// Shares one local USB device with the VM: binds it to the USB/IP host driver with the bind
// helper, asks the slave service to switch the connection to USB/IP, and then relays the
// connection to the local usbipd for as long as the session keeps it. Success is reported
// when that relay ends normally; a refused bind, a refused switch or an unreachable usbipd
// is reported as failure.
class ShareUSBDevice : public ZELSlaveCommand
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultUsbipdPort = 3240;

    explicit ShareUSBDevice(const USBDevice &device);
    ~ShareUSBDevice() override;

    // The bind helper shipped with the client.
    static QString bindProgramName();
    // The bind helper as the program search finds it, else where the package installs it.
    static QString findBindProgram();

    QString deviceId() const { return m_deviceId; }
    void setBindProgram(const QString &path) { m_usbipPath = path; }
    void setUsbipdPort(quint16 port) { m_usbipdPort = port; }

    void run() override;
    void stop() override;

private slots:
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void http_finished();

private:
    void processError(QProcess::ProcessError error);
    void logHelperOutput(bool failed);
    void connectToUsbipd();
    void startRelay();
    void endRelay();
    void report(bool success);

    QString m_deviceId;
    QString m_usbipPath;
    QProcess m_process;
    quint16 m_usbipdPort = DefaultUsbipdPort;
    QTcpSocket *m_usbipd = nullptr;
    SocketForwarder *m_forwarder = nullptr;
    bool m_finished = false;
};

QDebug operator<<(QDebug debug, const ShareUSBDevice &command);
