#include "connectaudio.h"

#include "helpers/connectionprobe.h"

#include <QDebug>
#include <QRegularExpression>

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

// The local socket, or the host and port, of a server in PulseAudio's address form
// ("unix:/path", "/path", "tcp:host:port", "host", optionally after a "{machine}" prefix).
void soundServerAddress(QString server, QString &path, QString &host, quint16 &port)
{
    server.remove(QRegularExpression(QStringLiteral("^\\{[^}]*\\}")));
    if (server.startsWith(QLatin1String("unix:")) || server.startsWith(QLatin1Char('/'))) {
        path = server.mid(server.startsWith(QLatin1String("unix:")) ? 5 : 0);
        return;
    }
    server.remove(QRegularExpression(QStringLiteral("^tcp[46]?:")));
    // "host", "host:port", "[v6 address]:port", or a bare v6 address.
    host = server;
    port = DefaultSoundServerPort;
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(?:\\[([^\\]]+)\\]|([^:]+))(?::(\\d+))?$")).match(server);
    if (match.hasMatch()) {
        host = match.captured(1) + match.captured(2);
        if (!match.captured(3).isEmpty())
            port = match.captured(3).toUShort();
    }
}

QString quoted(const QString &value)
{
    return QLatin1Char('"') + value + QLatin1Char('"');
}

} // namespace

void ConnectAudio::chooseDevices()
{
    const QString server = userSoundServer();
    QString path;
    QString host;
    quint16 port = 0;
    if (!server.isEmpty())
        soundServerAddress(server, path, host, port);
    // The user's server may be on another machine, whose name is looked up: the answer comes
    // later, and the window goes on meanwhile.
    auto *probe = new ConnectionProbe(this);
    probe->setTimeout(ProbeTimeoutMs);
    connect(probe, &ConnectionProbe::answered, this, [this, probe, server](bool answers) {
        probe->deleteLater();
        if (answers) {
            qInfo().nospace().noquote() << "Sound goes to the user's sound server " << server;
            QStringList lines{QStringLiteral("load-module module-tunnel-sink sink_name=zel_output server=") + quoted(server)};
            if (m_microphone)
                lines << QStringLiteral("load-module module-tunnel-source source_name=zel_input server=") + quoted(server);
            devicesChosen(lines);
            return;
        }
        qWarning().nospace().noquote() << "No sound server of the user answers"
                                       << (server.isEmpty() ? QString() : QStringLiteral(" at ") + server)
                                       << "; the VM's sound goes to a silent sink";
        QStringList lines{QStringLiteral("load-module module-null-sink sink_name=zel_output")};
        if (m_microphone)
            lines << QStringLiteral("load-module module-null-source source_name=zel_input");
        devicesChosen(lines);
    });
    probe->start(path, host, port);
}
