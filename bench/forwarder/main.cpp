// Benchmark of SocketForwarder against socat as a TLS <-> loopback TCP relay.
//
//   zel-forwarder-bench run [--bytes MiB] [--slow-bytes MiB] [--pings N] [--repeat N]
//                           [--socat PATH] [--openssl PATH]
//   zel-forwarder-bench bulk [--bytes MiB] [--openssl PATH]
//   zel-forwarder-bench pieces [--piece-size B] [--pieces N] [--socat PATH] [--openssl PATH]
//
// "bulk" runs only the forwarder's throughput case, once each way, and prints
// "bulk forwarder CPU: <s> s/GiB", for other benchmarks to set their figures against.
// "pieces" echoes pieces of --piece-size bytes (default 768) one at a time through the forwarder
// and through socat and prints each relay's CPU per GiB ("<B>-byte pieces, forwarder CPU: <s>
// s/GiB", the same for socat): what a relay costs on a session's short messages.
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
    parser.addPositionalArgument(QStringLiteral("run|bulk|pieces"),
                                 QStringLiteral("Run the benchmark, its forwarder throughput case alone, or its "
                                                "small-pieces case alone."));
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
    const QCommandLineOption pieceSize(QStringLiteral("piece-size"), QStringLiteral("Bytes per small piece."),
                                       QStringLiteral("bytes"), QStringLiteral("768"));
    const QCommandLineOption pieces(QStringLiteral("pieces"), QStringLiteral("Small pieces echoed."),
                                    QStringLiteral("count"), QStringLiteral("50000"));
    parser.addOptions({bytes, slowBytes, pings, repeat, pieceSize, pieces, socat, openssl});
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (positional.size() != 1 || !QStringList{QStringLiteral("run"), QStringLiteral("bulk"), QStringLiteral("pieces")}.contains(command))
        parser.showHelp(1);

    BenchDriver::Options options;
    options.program = QCoreApplication::applicationFilePath();
    options.bytes = parser.value(bytes).toLongLong() << 20;
    options.slowBytes = parser.value(slowBytes).toLongLong() << 20;
    options.pings = parser.value(pings).toInt();
    options.repeat = qMax(1, parser.value(repeat).toInt());
    options.pieceSize = parser.value(pieceSize).toInt();
    options.pieces = parser.value(pieces).toInt();
    options.socat = parser.value(socat);
    options.openssl = parser.value(openssl);
    if (options.bytes <= 0 || options.slowBytes <= 0 || options.pings <= 0 || options.pieceSize <= 0
        || options.pieces <= 0) {
        std::fprintf(stderr, "sizes and counts must be positive\n");
        return 1;
    }
    BenchDriver driver(options);
    if (command == QLatin1String("bulk"))
        return driver.bulk();
    return command == QLatin1String("pieces") ? driver.smallPieces() : driver.run();
}
