// zel-demo-broker: a small broker that serves the client's requests over TLS, for trying the
// client by hand and for tests.

#include "brokercertificate.h"
#include "brokerconfig.h"
#include "brokerlog.h"
#include "brokerserver.h"
#include "nxagentvm.h"
#include "signalwatcher.h"

#include <QDebug>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2 };

int usageError(const QString &text)
{
    QTextStream(stderr) << "zel-demo-broker: " << text << '\n';
    return ExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-demo-broker"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEL_DEMO_BROKER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Demo broker for ZEL Client: serves the VM list and VM connections over TLS.\n"
        "Without --config it has one user \"demo\" (password \"demo\") and one VM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("JSON configuration file."),
                                          QStringLiteral("file"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TLS port (default 8443; 0 picks a free one)."),
                                        QStringLiteral("port"), QStringLiteral("8443"));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("Address to listen on (default 127.0.0.1; "
                                                          "0.0.0.0 or :: for every interface)."),
                                           QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption stateOption(QStringLiteral("state-dir"),
                                         QStringLiteral("Folder of the generated certificate (default: the "
                                                        "broker's folder under XDG_DATA_HOME)."),
                                         QStringLiteral("folder"));
    const QCommandLineOption certOption(QStringLiteral("cert"), QStringLiteral("PEM certificate to use."),
                                        QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("key"), QStringLiteral("PEM private key of --cert."),
                                       QStringLiteral("file"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Also append the log to this file."), QStringLiteral("file"));
    const QCommandLineOption printConfigOption(QStringLiteral("print-default-config"),
                                               QStringLiteral("Print the built-in configuration and exit."));
    parser.addOptions({configOption, portOption, addressOption, stateOption, certOption, keyOption, logOption,
                       printConfigOption});
    parser.process(app);

    if (parser.isSet(printConfigOption)) {
        const QByteArray text = BrokerConfig::builtInJson();
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
        return ExitOk;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return usageError(QStringLiteral("--port takes a number from 0 to 65535"));
    const QHostAddress address(parser.value(addressOption));
    if (address.isNull())
        return usageError(QStringLiteral("--address takes an IP address"));
    if (parser.isSet(certOption) != parser.isSet(keyOption))
        return usageError(QStringLiteral("--cert and --key go together"));

    QString error;
    if (!BrokerLog::install(parser.value(logOption), &error))
        return usageError(error);

    BrokerConfig config;
    if (parser.isSet(configOption)) {
        if (!config.loadFile(parser.value(configOption), &error))
            return usageError(error);
        qInfo().noquote() << "configuration from" << parser.value(configOption);
    } else {
        if (!config.loadJson(BrokerConfig::builtInJson(), &error))
            return usageError(error);
        qInfo() << "built-in configuration: user \"demo\" with password \"demo\", one VM";
    }

    BrokerCertificate certificate;
    if (parser.isSet(certOption)) {
        if (!certificate.loadFiles(parser.value(certOption), parser.value(keyOption), &error)) {
            qCritical().noquote() << error;
            return ExitFailure;
        }
    } else {
        QString stateDir = parser.value(stateOption);
        if (stateDir.isEmpty())
            stateDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (!certificate.loadOrCreate(stateDir, &error)) {
            qCritical().noquote() << error;
            return ExitFailure;
        }
    }
    qInfo().noquote() << "certificate" << certificate.certificate().subjectDisplayName() << "SHA-256"
                      << QString::fromLatin1(certificate.certificate().digest(QCryptographicHash::Sha256).toHex(':'));

    BrokerServer server(config, certificate.certificate(), certificate.key());
    if (!server.listen(address, static_cast<quint16>(port))) {
        qCritical().noquote() << "cannot listen on" << address.toString() << "port" << port << ":"
                              << server.errorString();
        return ExitFailure;
    }
    SignalWatcher watcher;
    QTimer endWait;
    const auto stopServer = [&]() {
        endWait.stop();
        server.stop();
        QCoreApplication::quit();
    };
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, [&](int number) {
        qInfo() << "stopping on signal" << number;
        if (endWait.isActive() || NxAgentVm::noneLeft()) {
            stopServer();
            return;
        }
        // The VMs end first and their tunnels carry that to the clients, which see their
        // sessions end as when the user logs out; then every connection closes.
        NxAgentVm::stopEverything();
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&endWait, &QTimer::timeout, &app, [&, waited]() {
            if (NxAgentVm::noneLeft() || waited.hasExpired(NxAgentVm::StopTimeoutMs))
                stopServer();
        });
        endWait.start(50);
    });
    QObject::connect(&watcher, &SignalWatcher::cutRequested, &app, [&](bool stall) {
        qInfo() << "cutting every tunnel:" << (stall ? "stalled" : "closed");
        server.cutTunnels(stall);
    });

    qInfo().noquote() << "listening on" << address.toString() << "port" << server.serverPort();
    // The one line on standard output, for whoever started the broker with port 0.
    QTextStream out(stdout);
    out << "Listening on port " << server.serverPort() << '\n';
    out.flush();

    const int result = app.exec();
    server.stop();
    // VMs end gracefully, so that their displays' lock files do not stay behind.
    NxAgentVm::endAllNow();
    qInfo() << "stopped";
    BrokerLog::uninstall();
    return result;
}
