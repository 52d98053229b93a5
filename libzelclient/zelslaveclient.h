#pragma once

#include <QException>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

class USBDevice;
class ZELSlaveCommand;

// One connection to the local slave port of the NX session, running exactly one command.
// The connection is opened at construction, to 127.0.0.1, and used only when the socket that
// answers it belongs to the session's own user; the command starts once both it and the
// connection are there, whichever comes second. A connection that fails, or is not made within
// the request time-out, fails the command without running it. The client reports the
// command's outcome and then finished(); its owner deletes it after that.
class ZELSlaveClient : public QObject
{
    Q_OBJECT

public:
    // Thrown when a client that already holds a command is given another one.
    class BusyException : public QException
    {
    public:
        void raise() const override { throw *this; }
        BusyException *clone() const override { return new BusyException(*this); }
    };

    ZELSlaveClient(quint16 port, const QString &key);
    ~ZELSlaveClient() override;

    // The commands the session runs, one per client. Each throws BusyException when the
    // client already holds a command.
    void shareFolder(const QString &folder);
    void shareUSBDevice(const USBDevice &device);
    // Sound for the session; with microphone the VM can also record from the user's input.
    void connectAudio(quint16 audioPort, bool microphone = false);

    // Gives the client its one command and starts it as soon as the connection is up. The
    // client owns the command from this call on, also when it throws BusyException because
    // it already holds one: the offered command is then deleted and the first one goes on.
    void runCommand(ZELSlaveCommand *command);

    // Bounds the connection and the command's request (ZELSlaveCommand::setRequestTimeout).
    void setRequestTimeout(int ms);

    const ZELSlaveCommand *command() const { return m_command; }
    // What the command left running for the session, handed to the caller (see ZELSlaveCommand).
    QObject *takeRunningServer();

signals:
    void commandSuccessful(const ZELSlaveCommand &command);
    void commandFailed(const ZELSlaveCommand &command);
    void finished();

private slots:
    void socket_connected();
    void command_successful();
    void command_failed();

private:
    void checkIdle() const;
    // A command this build cannot run: said in the log, and nothing is reported as done.
    void unavailable(const char *feature);
    void startCommand();
    void report(bool success);
    // The connection cannot serve the command: it is failed with the reason, never run.
    void connectionFailed(const QString &reason);
    void abandonCommand();

    quint16 m_port;
    QString m_key;
    ZELSlaveCommand *m_command = nullptr;
    bool m_commandStarted = false;
    // The socket that answered the connection is the session user's own.
    bool m_peerChecked = false;
    // Why the connection cannot serve a command; empty while it can.
    QString m_connectionProblem;
    int m_requestTimeoutMs;
    QTimer m_connectTimer;
    QTcpSocket m_socket;
};
