// Benchmark of SocketForwarder against socat as a TLS <-> loopback TCP relay.
//
//   zel-forwarder-bench run [--bytes MiB] [--slow-bytes MiB] [--pings N] [--repeat N]
//                           [--socat PATH] [--openssl PATH]
//   zel-forwarder-bench bulk [--bytes MiB] [--openssl PATH]
//
// "bulk" runs only the forwarder's throughput case, once each way, and prints
// "bulk forwarder CPU: <s> s/GiB", for other benchmarks to set their figures against.
// "run" starts this program again as the TLS endpoint ("endpoint CERT KEY") and as the relay
// under test ("relay TUNNEL_PORT [local-first]"); those two modes are not meant to be used by
// hand.

#include "benchdriver.h"
#include "forwarderrelay.h"
#include "tlsendpoint.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>

namespace {

int runEndpoint(const QString &certificateFile, const QString &keyFile)
{
    TlsEndpoint endpoint;
    if (!endpoint.listen(QFile::encodeName(certificateFile).toStdString(), QFile::encodeName(keyFile).toStdString()))
        return 1;
    std::printf("READY %u\n", unsigned(endpoint.port()));
    std::fflush(stdout);
    return endpoint.serve();
}

int runRelay(quint16 tunnelPort, bool localFirst)
{
    // The forwarder's notes about closing sides would only clutter the report.
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));
    ForwarderRelay relay(tunnelPort, localFirst);
    relay.start();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1);
    if (mode == QLatin1String("endpoint") && arguments.size() == 4)
        return runEndpoint(arguments.at(2), arguments.at(3));
    if (mode == QLatin1String("relay") && arguments.size() == 3)
        return runRelay(quint16(arguments.at(2).toUInt()), false);
    if (mode == QLatin1String("relay") && arguments.size() == 4 && arguments.at(3) == QLatin1String("local-first"))
        return runRelay(quint16(arguments.at(2).toUInt()), true);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("SocketForwarder against socat as a TLS relay"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("run|bulk"),
                                 QStringLiteral("Run the benchmark, or its forwarder throughput case alone."));
    const QCommandLineOption bytes(QStringLiteral("bytes"), QStringLiteral("MiB per direction and relay."),
                                   QStringLiteral("MiB"), QStringLiteral("1024"));
    const QCommandLineOption slowBytes(QStringLiteral("slow-bytes"), QStringLiteral("MiB for the slow-reader cases."),
                                       QStringLiteral("MiB"), QStringLiteral("128"));
    const QCommandLineOption pings(QStringLiteral("pings"), QStringLiteral("Round trips measured."),
                                   QStringLiteral("count"), QStringLiteral("20000"));
    const QCommandLineOption repeat(QStringLiteral("repeat"), QStringLiteral("Throughput runs, best kept."),
                                    QStringLiteral("count"), QStringLiteral("1"));
    const QCommandLineOption socat(QStringLiteral("socat"), QStringLiteral("socat program."), QStringLiteral("path"),
                                   QStringLiteral("socat"));
    const QCommandLineOption openssl(QStringLiteral("openssl"), QStringLiteral("openssl program."),
                                     QStringLiteral("path"), QStringLiteral("openssl"));
    parser.addOptions({bytes, slowBytes, pings, repeat, socat, openssl});
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    if (positional != QStringList{QStringLiteral("run")} && positional != QStringList{QStringLiteral("bulk")})
        parser.showHelp(1);

    BenchDriver::Options options;
    options.program = QCoreApplication::applicationFilePath();
    options.bytes = parser.value(bytes).toLongLong() << 20;
    options.slowBytes = parser.value(slowBytes).toLongLong() << 20;
    options.pings = parser.value(pings).toInt();
    options.repeat = qMax(1, parser.value(repeat).toInt());
    options.socat = parser.value(socat);
    options.openssl = parser.value(openssl);
    if (options.bytes <= 0 || options.slowBytes <= 0 || options.pings <= 0) {
        std::fprintf(stderr, "sizes and counts must be positive\n");
        return 1;
    }
    BenchDriver driver(options);
    return positional.first() == QLatin1String("bulk") ? driver.bulk() : driver.run();
}
