#include "connectaudio.h"

#include <QDebug>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTcpSocket>

namespace {

const int ProbeTimeoutMs = 1000;
const quint16 DefaultSoundServerPort = 4713;

// The user's own sound server: the first one PULSE_SERVER names, else the socket of the
// user's session server. Empty when there is no place to look.
QString userSoundServer()
{
    const QStringList named = qEnvironmentVariable("PULSE_SERVER").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!named.isEmpty())
        return named.first();
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtimeDir.isEmpty())
        return QString();
    return QStringLiteral("unix:") + runtimeDir + QStringLiteral("/pulse/native");
}

// Whether a server in PulseAudio's address form ("unix:/path", "/path", "tcp:host:port",
// "host", optionally after a "{machine}" prefix) accepts a connection now.
bool soundServerAnswers(QString server)
{
    server.remove(QRegularExpression(QStringLiteral("^\\{[^}]*\\}")));
    if (server.startsWith(QLatin1String("unix:")) || server.startsWith(QLatin1Char('/'))) {
        QLocalSocket socket;
        socket.connectToServer(server.mid(server.startsWith(QLatin1String("unix:")) ? 5 : 0));
        return socket.waitForConnected(ProbeTimeoutMs);
    }
    server.remove(QRegularExpression(QStringLiteral("^tcp[46]?:")));
    // "host", "host:port", "[v6 address]:port", or a bare v6 address.
    QString host = server;
    quint16 port = DefaultSoundServerPort;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(?:\\[([^\\]]+)\\]|([^:]+))(?::(\\d+))?$")).match(server);
    if (match.hasMatch()) {
        host = match.captured(1) + match.captured(2);
        if (!match.captured(3).isEmpty())
            port = match.captured(3).toUShort();
    }
    if (host.isEmpty())
        return false;
    QTcpSocket socket;
    socket.connectToHost(host, port);
    return socket.waitForConnected(ProbeTimeoutMs);
}

QString quoted(const QString &value)
{
    return QLatin1Char('"') + value + QLatin1Char('"');
}

} // namespace

QStringList ConnectAudio::deviceLines(bool microphone)
{
    const QString server = userSoundServer();
    if (!server.isEmpty() && soundServerAnswers(server)) {
        qInfo().nospace().noquote() << "Sound goes to the user's sound server " << server;
        QStringList lines{QStringLiteral("load-module module-tunnel-sink sink_name=zel_output server=") + quoted(server)};
        if (microphone)
            lines << QStringLiteral("load-module module-tunnel-source source_name=zel_input server=") + quoted(server);
        return lines;
    }
    qWarning().nospace().noquote() << "No sound server of the user answers"
                                   << (server.isEmpty() ? QString() : QStringLiteral(" at ") + server)
                                   << "; the VM's sound goes to a silent sink";
    QStringList lines{QStringLiteral("load-module module-null-sink sink_name=zel_output")};
    if (microphone)
        lines << QStringLiteral("load-module module-null-source source_name=zel_input");
    return lines;
}
