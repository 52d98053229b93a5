#pragma once

#include "usbip/usbdevice.h"
#include "zelclient_export.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

class QDebug;

// Everything one connection needs: where the broker is, who logs in, how the
// remote desktop looks and which local resources are offered to the VM.
// Consumers read their own copy; nobody changes a set after handing it over.
class ZELCLIENT_EXPORT ZELConnectionParameters
{
public:
    enum ConnectionSpeed {
        Modem = 0,
        ISDN = 1,
        ADSL = 2,
        WAN = 3,
        LAN = 4,
        Local = 5
    };

    ZELConnectionParameters() = default;
    ZELConnectionParameters(const ZELConnectionParameters &) = default;
    ZELConnectionParameters(ZELConnectionParameters &&) = default;
    ZELConnectionParameters &operator=(const ZELConnectionParameters &) = default;
    ZELConnectionParameters &operator=(ZELConnectionParameters &&) = default;
    ~ZELConnectionParameters() = default;

    QString host() const { return m_host; }
    void setHost(const QString &host) { m_host = host; }

    unsigned short port() const { return m_port; }
    void setPort(unsigned short port) { m_port = port; }

    QString username() const { return m_username; }
    void setUsername(const QString &username) { m_username = username; }

    QString password() const { return m_password; }
    void setPassword(const QString &password) { m_password = password; }

    QString secondFactor() const { return m_secondFactor; }
    void setSecondFactor(const QString &secondFactor) { m_secondFactor = secondFactor; }

    QString token() const { return m_token; }
    void setToken(const QString &token) { m_token = token; }

    ConnectionSpeed connectionSpeed() const { return m_connectionSpeed; }
    void setConnectionSpeed(const ConnectionSpeed &speed) { m_connectionSpeed = speed; }

    QSize geometry() const { return m_geometry; }
    void setGeometry(const QSize &geometry) { m_geometry = geometry; }

    QString keyboard() const { return m_keyboard; }
    void setKeyboard(const QString &keyboard) { m_keyboard = keyboard; }

    QString nxagent_extra_args() const { return m_nxagent_extra_args; }
    void setNxagent_extra_args(const QString &args) { m_nxagent_extra_args = args; }

    QString nxproxy_extra_args() const { return m_nxproxy_extra_args; }
    void setNxproxy_extra_args(const QString &args) { m_nxproxy_extra_args = args; }

    bool fullscreen() const { return m_fullscreen; }
    void setFullscreen(bool fullscreen) { m_fullscreen = fullscreen; }

    bool printing() const { return m_printing; }
    void setPrinting(bool printing) { m_printing = printing; }

    bool usb_forwarding() const { return m_usb_forwarding; }
    void setUsb_forwarding(bool enabled) { m_usb_forwarding = enabled; }

    bool audio() const { return m_audio; }
    void setAudio(bool audio) { m_audio = audio; }

    bool microphone() const { return m_microphone; }
    void setMicrophone(bool microphone) { m_microphone = microphone; }

    bool audioCompression() const { return m_audioCompression; }
    void setAudioCompression(bool compression) { m_audioCompression = compression; }

    QString timezone() const { return m_timezone; }
    void setTimezone(const QString &timezone) { m_timezone = timezone; }

    QStringList sharedFolders() const { return m_sharedFolders; }
    void setSharedFolders(const QStringList &folders) { m_sharedFolders = folders; }

    // Only shown in the log: the variables sent to the broker come from the settings store.
    QStringList EnvironmentVariables() const { return m_environmentVariables; }
    void setEnvironmentVariables(const QStringList &variables) { m_environmentVariables = variables; }

    QList<USBDevice> sharedUsbDevices() const { return m_sharedUsbDevices; }
    void setSharedUsbDevices(const QList<USBDevice> &devices) { m_sharedUsbDevices = devices; }

private:
    QString m_host;
    unsigned short m_port = 8443;
    QString m_username;
    QString m_password;
    QString m_secondFactor;
    QString m_token;
    ConnectionSpeed m_connectionSpeed = ADSL;
    QSize m_geometry = QSize(1024, 768);
    QString m_keyboard = QStringLiteral("empty/empty");
    QString m_nxagent_extra_args;
    QString m_nxproxy_extra_args;
    bool m_fullscreen = false;
    bool m_printing = false;
    bool m_usb_forwarding = false;
    bool m_audio = false;
    bool m_microphone = false;
    bool m_audioCompression = true;
    QString m_timezone;
    QStringList m_sharedFolders;
    QStringList m_environmentVariables;
    QList<USBDevice> m_sharedUsbDevices;
};

// Writes the set for the log; password and second factor are masked, token and devices are left out.
ZELCLIENT_EXPORT QDebug operator<<(QDebug debug, const ZELConnectionParameters &parameters);
