#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class USBDevice;

// Runs the client's privileged USB helper, zel-client-slaveclient-usbip: "bind" lends a device
// to the kernel's USB/IP host driver for a connection, "unbind" gives it back. A client that
// is not root runs the installed helper through pkexec, which asks polkit (and the user, through
// the desktop's authentication agent) for the right; a client run as root starts it directly.
class UsbBindHelper : public QObject
{
    Q_OBJECT

public:
    enum Outcome {
        Done,
        // Nothing was changed (the device is not the one chosen, not there, a hub, ...).
        Refused,
        // It failed, and the device is back with its own driver.
        FailedGivenBack,
        // It failed, or ended in a way that does not say, and the device may still be bound.
        FailedStillBound,
        // pkexec did not run it: no agent asked for the password, the user dismissed the
        // question, or polkit refused.
        NoAuthenticationAgent,
        Dismissed,
        NotAuthorized,
        NotStarted,
    };
    Q_ENUM(Outcome)

    explicit UsbBindHelper(QObject *parent = nullptr);
    ~UsbBindHelper() override;

    // Where the package installs the helper; the only one pkexec runs.
    static QString installedProgram();
    // The command the helper is run with here, program first.
    static QStringList defaultCommand();
    // The programs that command needs, full paths.
    static QStringList requiredPrograms();
    // The device as the helper names it: "<vendor>:<product>[:<serial>]".
    static QString identityOf(const USBDevice &device);
    // Whether the device may still be lent to usbip-host after an outcome.
    static bool mayLeaveDeviceBound(Outcome outcome);

    void setCommand(const QStringList &command) { m_command = command; }
    QStringList command() const { return m_command; }

    // Starts lending the device at busId for the connection on socket, which becomes the
    // helper's standard input (pkexec passes only that on); finished() follows.
    void startBind(const QString &busId, const QString &identity, int socket);
    bool isRunning() const;
    // Starts giving the device at busId back; finished() follows, after timeoutMs at the latest:
    // a helper still running then (pkexec cannot be ended by its caller) is let finish on its
    // own, and the device counts as still lent.
    void startUnbind(const QString &busId, int timeoutMs = 60000);
    // Why the last run ended as it did, in words for the user; empty after Done.
    QString reason() const { return m_reason; }

signals:
    void finished(UsbBindHelper::Outcome outcome);

private:
    static bool runsAsRoot();
    // Creates the helper's process with socket as its standard input (none when negative).
    QProcess *createProcess(int socket);
    QProcess *start(const QStringList &arguments, int socket);
    // Runs the helper with the arguments; with timeoutMs > 0, finished() comes by then at the latest.
    void run(const QStringList &arguments, int socket, int timeoutMs);
    // A run that still goes on is let finish without this object, which may go at once.
    void letGo();
    Outcome outcomeOf(QProcess *process, bool started);
    void logOutput(const QByteArray &output, bool failed);

    QStringList m_command;
    QProcess *m_process = nullptr;
    QString m_reason;
};
