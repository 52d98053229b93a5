#pragma once

#include "pulseaudio/pulseaudio.h"
#include "zelslavecommand.h"

#include <QString>
#include <QStringList>

class QDebug;

// Sound for the VM session: a local PulseAudio server that accepts the native protocol on a
// loopback TCP port (where the NX proxy delivers the VM's sound stream) and plays to the
// user's sound output. The command sends nothing over its slave connection; it reports
// success once the server accepts connections on the port, and the server then runs until
// the command is stopped, that is until the session ends.
class ConnectAudio : public ZELSlaveCommand
{
    Q_OBJECT

public:
    explicit ConnectAudio(quint16 audioPort, bool microphone = false);
    ~ConnectAudio() override;

    void run() override;
    void stop() override;
    bool keepsRunningAfterSuccess() const override { return true; }

    quint16 audioPort() const { return m_audioPort; }
    bool microphone() const { return m_microphone; }

public slots:
    void pulseStarted();
    void pulseStopped();
    void pulseError(const QString &err);

private:
    // The lines that give the server its output (and, with the microphone, its input),
    // chosen for the platform's sound system.
    static QStringList deviceLines(bool microphone);
    QString writeScript();
    void report(bool success);

    PulseAudio m_pulse;
    QStringList m_tempFiles;
    quint16 m_audioPort;
    bool m_microphone;
    bool m_reported = false;
};

QDebug operator<<(QDebug debug, const ConnectAudio &command);
