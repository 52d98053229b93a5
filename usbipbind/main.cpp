// zel-client-slaveclient-usbip: binds one local USB device to the USB/IP host driver so that
// usbipd can export it to the VM. Usage: zel-client-slaveclient-usbip bind <bus id>
// Exit code 0: the device is bound (also when it already was). Otherwise the reason is
// printed on standard error.
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>

#include <unistd.h>

namespace {

enum ExitCode { Bound = 0, Usage = 2, NoUsbip = 3 };

const char hostDriverDir[] = "/sys/bus/usb/drivers/usbip-host";

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool isBusId(const QString &text)
{
    static const QRegularExpression busId(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    return busId.match(text).hasMatch();
}

// usbip lives in the system's administrator folders, which a user's PATH often lacks.
QString findUsbip()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("usbip"));
    if (!inPath.isEmpty())
        return inPath;
    return QStandardPaths::findExecutable(QStringLiteral("usbip"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                           QStringLiteral("/usr/local/sbin")});
}

void explainFailure(const QString &busId)
{
    if (!QFileInfo(QString::fromLatin1(hostDriverDir)).isDir())
        err() << "The USB/IP host driver is not loaded; load it with: modprobe usbip-host\n";
    if (geteuid() != 0)
        err() << "Binding " << busId << " needs administrator rights.\n";
}

int bind(const QString &busId)
{
    if (QFileInfo(QString::fromLatin1(hostDriverDir) + QLatin1Char('/') + busId).exists()) {
        err() << "USB device " << busId << " is already bound to usbip-host\n";
        return Bound;
    }

    const QString usbip = findUsbip();
    if (usbip.isEmpty()) {
        err() << "Cannot bind USB device " << busId << ": the usbip program is not installed\n";
        return NoUsbip;
    }

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(usbip, {QStringLiteral("bind"), QStringLiteral("-b"), busId}, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        err() << "Cannot bind USB device " << busId << ": " << usbip << " did not start: " << process.errorString()
              << "\n";
        return NoUsbip;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit) {
        err() << "Cannot bind USB device " << busId << ": " << usbip << " crashed\n";
        return 1;
    }
    if (process.exitCode() != 0) {
        err() << "Cannot bind USB device " << busId << ": " << usbip << " exited with code " << process.exitCode()
              << "\n";
        err().flush();
        explainFailure(busId);
        return process.exitCode();
    }
    return Bound;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || args.at(1) != QLatin1String("bind") || !isBusId(args.at(2))) {
        err() << "Usage: " << QFileInfo(args.value(0)).fileName() << " bind <bus id, such as 1-1.4>\n";
        return Usage;
    }
    return bind(args.at(2));
}
