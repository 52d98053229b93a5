#pragma once

#include <QByteArray>
#include <QDir>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real Secret Service for one test program: a private session bus of its own (no service is
// started on demand) with gnome-keyring-daemon on it, its login keyring unlocked with a test
// password. Starting it points this process's DBUS_SESSION_BUS_ADDRESS at the bus; stopping
// it ends both programs and restores the previous address.
class SecretService
{
public:
    SecretService() = default;
    ~SecretService();
    SecretService(const SecretService &) = delete;
    SecretService &operator=(const SecretService &) = delete;

    // False, with errorText(), when a program is missing or the keyring does not come up.
    bool start();
    void stop();

    QString busAddress() const { return m_address; }
    QString errorText() const { return m_errorText; }

private:
    bool startBus();
    bool startKeyring();
    bool keyringOnBus() const;

    // The bus's address names a socket in this folder: no blank in its name, which a D-Bus
    // address would have to escape.
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/zel-secret-service-XXXXXX")};
    QProcess m_bus;
    QProcess m_keyring;
    QString m_address;
    QByteArray m_previousAddress;
    bool m_started = false;
    QString m_errorText;
};
