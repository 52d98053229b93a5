#pragma once

#include "zelslavecommand.h"

#include <QString>
#include <QStringList>

class PulseAudio;
class QDebug;

// Sound for the VM session: a local PulseAudio server that accepts the native protocol on a
// loopback TCP port (where the NX proxy delivers the VM's sound stream) and plays to the
// user's sound output. The command sends nothing over its slave connection. It reports
// success once the server listens on the port; the running server is then handed to the
// session (takeRunningServer) and serves it until the session ends. Its script file is
// removed whenever the server stops.
class ConnectAudio : public ZELSlaveCommand
{
    Q_OBJECT

public:
    explicit ConnectAudio(quint16 audioPort, bool microphone = false);
    ~ConnectAudio() override;

    void run() override;
    void stop() override;
    QObject *takeRunningServer() override;

    quint16 audioPort() const { return m_audioPort; }
    bool microphone() const { return m_microphone; }
    // Why the command failed, for the user; empty while it has not.
    QString failureReason() const { return m_failureReason; }

public slots:
    void pulseStarted();
    void pulseStopped();
    void pulseError(const QString &err);

private:
    // The lines that give the server its output (and, with the microphone, its input),
    // chosen for the platform's sound system.
    static QStringList deviceLines(bool microphone);
    static void removeFiles(const QStringList &files);
    QString writeScript();
    void fail(const QString &reason);

    // Owned until handed to the session; null after that.
    PulseAudio *m_pulse;
    QStringList m_tempFiles;
    quint16 m_audioPort;
    bool m_microphone;
    bool m_reported = false;
    bool m_succeeded = false;
    QString m_failureReason;
};

QDebug operator<<(QDebug debug, const ConnectAudio &command);
