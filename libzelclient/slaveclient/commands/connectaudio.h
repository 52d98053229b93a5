#pragma once

#include "zelslavecommand.h"

#include <QString>
#include <QStringList>

class PulseAudio;
class QDebug;

// Sound for the VM session: a local PulseAudio server that plays to the user's sound output
// and takes the native protocol on a socket in a folder of its own that only the user can open;
// the session relays the VM's sound streams to that socket from the audio port (SoundRelay). The
// server loads the modules of its script and no more, and cannot be told to exit. The command
// sends nothing over its slave connection. It reports success once the server takes
// connections on its socket; the running server is then handed to the session
// (takeRunningServer) and serves it until the session ends. Its folder is removed whenever the
// server stops.
class ConnectAudio : public ZELSlaveCommand
{
    Q_OBJECT

public:
    explicit ConnectAudio(quint16 audioPort, bool microphone = false);
    ~ConnectAudio() override;

    void run() override;
    void stop() override;
    void abandon(const QString &reason) override;
    QObject *takeRunningServer() override;

    // The port the VM's sound arrives on, at the session's relay.
    quint16 audioPort() const { return m_audioPort; }
    bool microphone() const { return m_microphone; }
    // Where the server takes the VM's sound, once the command has succeeded.
    QString serverSocket() const { return m_serverSocket; }
    // Why the command failed, for the user; empty while it has not.
    QString failureReason() const { return m_failureReason; }

public slots:
    void pulseStarted();
    void pulseStopped();
    void pulseError(const QString &err);

private:
    // Chooses the lines that give the server its output (and, with the microphone, its input)
    // for the platform's sound system, without holding up the caller; devicesChosen() follows.
    void chooseDevices();
    void devicesChosen(const QStringList &lines);
    QString writeScript(const QStringList &deviceLines);
    void modulesListed(const QString &command, const QString &modules);
    void listingFailed(const QString &command, const QString &reason);
    void fail(const QString &reason);
    void removeFolder();

    // Owned until handed to the session; null after that.
    PulseAudio *m_pulse;
    // The server's folder while this command is in charge of it.
    QString m_folder;
    QString m_serverSocket;
    quint16 m_audioPort;
    bool m_microphone;
    bool m_reported = false;
    bool m_succeeded = false;
    bool m_stopped = false;
    QString m_failureReason;
};

QDebug operator<<(QDebug debug, const ConnectAudio &command);
