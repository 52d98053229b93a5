#include "secretservice.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>

namespace {

// Only what the keyring and its clients need; no service directories, so nothing else starts.
const char busConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

const char keyringPassword[] = "test-keyring-password";
const char secretsName[] = "org.freedesktop.secrets";

} // namespace

SecretService::~SecretService()
{
    stop();
}

bool SecretService::start()
{
    if (!m_dir.isValid()) {
        m_errorText = QStringLiteral("No temporary folder");
        return false;
    }
    if (!startBus() || !startKeyring()) {
        stop();
        return false;
    }
    return true;
}

bool SecretService::startBus()
{
    const QString program = TestEnvironment::program(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) {
        m_errorText = QStringLiteral("dbus-daemon missing");
        return false;
    }
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly)
        || config.write(QString::fromLatin1(busConfig).arg(m_dir.path()).toUtf8()) < 0) {
        m_errorText = QStringLiteral("Cannot write the bus configuration");
        return false;
    }
    config.close();

    m_bus.setProcessChannelMode(QProcess::SeparateChannels);
    m_bus.start(program, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                          QStringLiteral("--print-address=1")});
    if (!m_bus.waitForStarted(TestEnvironment::timeout(10000))) {
        m_errorText = QStringLiteral("dbus-daemon did not start: ") + m_bus.errorString();
        return false;
    }
    const QDeadlineTimer deadline(TestEnvironment::timeout(20000));
    while (!m_bus.canReadLine() && m_bus.state() == QProcess::Running && !deadline.hasExpired())
        m_bus.waitForReadyRead(TestEnvironment::timeout(500));
    m_address = QString::fromUtf8(m_bus.readLine().trimmed());
    if (m_address.isEmpty()) {
        m_errorText = QStringLiteral("dbus-daemon gave no address: ") + QString::fromLocal8Bit(m_bus.readAllStandardError());
        return false;
    }
    m_previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    m_started = true;
    return true;
}

bool SecretService::keyringOnBus() const
{
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, QStringLiteral("secret-service-probe"));
    const bool registered = bus.isConnected() && bus.interface()->isServiceRegistered(QLatin1String(secretsName));
    return registered;
}

bool SecretService::startKeyring()
{
    const QString program = TestEnvironment::program(QStringLiteral("gnome-keyring-daemon"));
    if (program.isEmpty()) {
        m_errorText = QStringLiteral("gnome-keyring-daemon missing");
        return false;
    }
    // The login keyring is made with the password read from standard input, and unlocked.
    m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_keyring.start(program, {QStringLiteral("--foreground"), QStringLiteral("--components=secrets"),
                              QStringLiteral("--unlock")});
    if (!m_keyring.waitForStarted(TestEnvironment::timeout(10000))) {
        m_errorText = QStringLiteral("gnome-keyring-daemon did not start: ") + m_keyring.errorString();
        return false;
    }
    m_keyring.write(keyringPassword);
    m_keyring.closeWriteChannel();

    const QDeadlineTimer deadline(TestEnvironment::timeout(30000));
    bool up = false;
    while (!(up = keyringOnBus()) && m_keyring.state() == QProcess::Running && !deadline.hasExpired())
        m_keyring.waitForFinished(TestEnvironment::timeout(100));
    QDBusConnection::disconnectFromBus(QStringLiteral("secret-service-probe"));
    if (!up)
        m_errorText = QStringLiteral("The keyring did not come up on the bus");
    return up;
}

void SecretService::stop()
{
    ProcessGuard::end(m_keyring);
    ProcessGuard::end(m_bus);
    if (m_started) {
        if (m_previousAddress.isEmpty())
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        else
            qputenv("DBUS_SESSION_BUS_ADDRESS", m_previousAddress);
        m_started = false;
    }
}
