#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <sys/types.h>

// Runs the forwarder benchmark: starts a TLS endpoint, then for each relay (the
// SocketForwarder relay and socat) and each case a fresh relay process between a plain
// loopback client and the endpoint, and reports throughput, CPU time, latency and peak memory.
class BenchDriver
{
public:
    struct Options
    {
        QString program;     // this benchmark program, started again for the endpoint and relay
        QString socat = QStringLiteral("socat");
        QString openssl = QStringLiteral("openssl");
        qint64 bytes = qint64(1) << 30; // per direction and relay
        qint64 slowBytes = qint64(128) << 20;
        int pings = 20000;
        // Pieces the size nxproxy writes on a session's busy slave channel, one at a time.
        int pieceSize = 768;
        int pieces = 50000;
        int repeat = 1;
    };

    explicit BenchDriver(const Options &options);
    ~BenchDriver();

    int run();
    // The forwarder relay's throughput case alone, once each way: prints its CPU per GiB.
    int bulk();
    // The small-pieces case alone, for both relays: prints their CPU per GiB.
    int smallPieces();

private:
    enum class Relay { Forwarder, Socat };
    struct Child
    {
        pid_t pid = -1;
        int output = -1;
        double idleRssMiB = 0; // once it is ready for its connection
    };
    struct Usage
    {
        double cpuSeconds = 0;
        double peakRssMiB = 0;
        double idleRssMiB = 0;
        double growthMiB() const { return peakRssMiB - idleRssMiB; }
    };
    struct Throughput
    {
        double seconds = 0;
        Usage usage;
    };
    struct Latency
    {
        double median = 0;
        double p90 = 0;
        double p99 = 0;
        double p999 = 0;
    };

    bool makeCertificate();
    bool startEndpoint();
    Child spawn(const QStringList &arguments, int outputFd);
    Child startRelay(Relay relay, quint16 &port, bool localFirst = false);
    Usage finishRelay(Child &child);
    static void stop(Child &child);

    Throughput throughput(Relay relay, bool upload, qint64 bytes);
    bool relayedLatency(Relay relay, int pings, QVector<double> &times);
    bool echoThroughRelay(Relay relay, qint64 size, int count, int warmUp, QVector<double> *times, Usage *usage);
    bool directLatency(int pings, QVector<double> &times);
    double piecesCpuPerGib(Relay relay);
    static Latency summarise(QVector<double> times);
    Usage slowReader(Relay relay, bool upload, bool *complete);
    bool waitingAtStart(Relay relay, bool upload);

    Options m_options;
    QTemporaryDir m_dir;
    Child m_endpoint;
    quint16 m_endpointPort = 0;
};
