// Benchmark of a session's real traffic through the connection library: a folder copy through
// the share, and a desktop that redraws all the time.
//
//   zel-share-bench --broker PATH --slave-service PATH --desktop PATH --forwarder-bench PATH
//                   --workdir DIR [--size MiB] [--reads-in-flight N] [--bulk-size MiB]
//                   [--redraw-seconds S] [--verbose]
//
// Starts the demo broker with two VMs (a real nxagent each) and connects them one after the
// other as the program does: session client and NX backend on a headless X server of its own.
// 1. With a folder shared, the VM's slave service reads a file of --size MiB (default 32) from it
//    with 16 (--reads-in-flight) SFTP reads of 32 KiB in flight and copies it; the copy is compared byte for byte.
//    Prints "share read: <MB/s> MB/s", the longest the VM waited for any of its answers
//    ("longest wait for an answer: <ms> ms"), and for the time of the read "client CPU: <s> s/GiB"
//    (this process, per GiB through the tunnel, both ways) and "nxproxy CPU: <s> s/GiB".
// 2. The forwarder benchmark's bulk case (zel-forwarder-bench bulk), in the same run: prints
//    "bulk forwarder CPU: <s> s/GiB"; and its small-pieces case (zel-forwarder-bench pieces) with
//    pieces of the size nxproxy sends the copy in: "768-byte pieces, forwarder CPU: <s> s/GiB"
//    and the same for socat, what relaying such traffic costs at least.
// 3. The VM's desktop program redraws continuously; over --redraw-seconds (default 5) prints
//    "redraw traffic: <bytes/s> bytes/s" and "redraw client CPU: <s> s/GiB".
// The client's log goes to DIR/share-bench.log (and to standard error with --verbose).
// Exit status: 0 targets met, 2 a target missed, 1 the benchmark itself failed.

#include "backends/zelnxbackend.h"
#include "benchbroker.h"
#include "benchloop.h"
#include "benchtargets.h"
#include "zelclient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// The client's CPU per byte on the share's traffic, at most this many times the bulk figure.
constexpr double shareCpuTargetRatio = 4;
// The benchmark's own work runs in the client's process and counts as the client's: it looks
// seldom.
constexpr int SampleMs = 50;
constexpr int LookMs = 100;
constexpr double Gib = double(qint64(1) << 30);
// Time given to a fresh session before the VM starts copying.
constexpr int CopyDelayMs = 3000;
// Time given to a fresh desktop before its drawing is measured.
constexpr int RedrawSettleMs = 1000;
const QString SharedFile = QStringLiteral("copy-me.bin");
// nxproxy reads a busy slave channel at most this much at a time, so the copy crosses the
// tunnel in pieces of about this size.
constexpr int SlavePieceSize = 768;

struct Options
{
    QString broker;
    QString slaveService;
    QString desktop;
    QString forwarderBench;
    QString workdir;
    qint64 size = qint64(32) << 20;
    qint64 bulkSize = qint64(256) << 20;
    int readsInFlight = 16;
    int redrawSeconds = 5;
    bool verbose = false;
};

Options parseOptions(const QStringList &arguments)
{
    const QStringList paths{QStringLiteral("broker"), QStringLiteral("slave-service"), QStringLiteral("desktop"),
                            QStringLiteral("forwarder-bench"), QStringLiteral("workdir")};
    const QString usage = QStringLiteral(
        "usage: zel-share-bench --broker PATH --slave-service PATH --desktop PATH --forwarder-bench PATH "
        "--workdir DIR [--size MiB] [--reads-in-flight N] [--bulk-size MiB] [--redraw-seconds S] [--verbose]");
    const QHash<QString, QString> given = BenchLoop::options(
        arguments,
        paths + QStringList{QStringLiteral("size"), QStringLiteral("reads-in-flight"), QStringLiteral("bulk-size"),
                            QStringLiteral("redraw-seconds")},
        {QStringLiteral("verbose")}, paths, usage);
    Options options;
    options.broker = given.value(QStringLiteral("broker"));
    options.slaveService = given.value(QStringLiteral("slave-service"));
    options.desktop = given.value(QStringLiteral("desktop"));
    options.forwarderBench = given.value(QStringLiteral("forwarder-bench"));
    options.workdir = given.value(QStringLiteral("workdir"));
    options.size = given.value(QStringLiteral("size"), QStringLiteral("32")).toLongLong() << 20;
    options.bulkSize = given.value(QStringLiteral("bulk-size"), QStringLiteral("256")).toLongLong() << 20;
    options.readsInFlight = given.value(QStringLiteral("reads-in-flight"), QStringLiteral("16")).toInt();
    options.redrawSeconds = given.value(QStringLiteral("redraw-seconds"), QStringLiteral("5")).toInt();
    options.verbose = given.contains(QStringLiteral("verbose"));
    if (options.size <= 0 || options.bulkSize <= 0 || options.readsInFlight <= 0 || options.redrawSeconds <= 0)
        BenchLoop::fail(usage);
    return options;
}

enum Vm { ShareVm = 1, RedrawVm = 2 };

QJsonObject brokerConfig(const Options &options)
{
    const auto vm = [&options](int id, const QString &name, const QString &desktop) {
        return QJsonObject{{QStringLiteral("id"), id},
                           {QStringLiteral("name"), name},
                           {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("desktop"), desktop},
                                                                   {QStringLiteral("slaveService"), options.slaveService}}}};
    };
    return QJsonObject{
        {QStringLiteral("processingResponses"), 0},
        {QStringLiteral("users"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                                         {QStringLiteral("password"), QStringLiteral("demo")}}}},
        {QStringLiteral("vms"), QJsonArray{vm(ShareVm, QStringLiteral("Share"), options.desktop),
                                           vm(RedrawVm, QStringLiteral("Redraw"),
                                              options.desktop + QStringLiteral(" --redraw"))}}};
}

// Bytes that differ from block to block, so that a block copied to the wrong place shows.
void writeSharedFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        BenchLoop::fail(QStringLiteral("cannot write %1").arg(path));
    quint64 state = 0x9E3779B97F4A7C15ull;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (int i = 0; i < block.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        if (file.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            BenchLoop::fail(QStringLiteral("cannot write %1").arg(path));
    }
}

bool sameContent(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly) || first.size() != second.size())
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 20) != second.read(1 << 20))
            return false;
    }
    return true;
}

double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A child of this process running program; 0 when there is none.
qint64 childRunning(const QByteArray &program)
{
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(QCoreApplication::applicationPid()));
    if (!children.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &pid : children.readAll().split(' ')) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
        if (!pid.isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == program)
            return pid.toLongLong();
    }
    return 0;
}

double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return 0;
    // The fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// A running session: the library's client and NX backend on an X server of the benchmark's own.
class Session
{
public:
    Session(const BenchBroker &broker, int vm, const QStringList &sharedFolders)
    {
        const int display = BenchLoop::freeDisplay();
        if (display < 0)
            BenchLoop::fail(QStringLiteral("no free X display"));
        m_backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
        m_client.setBackend(&m_backend);
        QObject::connect(&m_client, &ZELClient::sslErrors, &m_client,
                         [](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) { accept = true; },
                         Qt::DirectConnection);
        QObject::connect(&m_client, &ZELClient::connectionEstablished, &m_client, [this, vm]() { m_client.connectToVM(vm); });
        QObject::connect(&m_client, &ZELClient::vmConnected, &m_client, [this]() { m_up = true; });
        QObject::connect(&m_client, &ZELClient::connectionTerminated, &m_client, [this]() { m_ended = true; });
        QObject::connect(&m_client, &ZELClient::folderNotShared, &m_client,
                         [](const QString &folder, const QString &reason) {
                             BenchLoop::fail(QStringLiteral("%1 was not shared: %2").arg(folder, reason));
                         });

        ZELConnectionParameters parameters = broker.connectionParameters();
        parameters.setSharedFolders(sharedFolders);
        m_backend.setParameters(parameters);
        m_client.setParameters(parameters);
        m_client.connectToZEL();
        if (!BenchLoop::waitFor([this]() { return m_up || m_ended; }) || !m_up)
            BenchLoop::fail(QStringLiteral("the session did not start"));
        m_nxproxy = childRunning("nxproxy");
    }
    ~Session()
    {
        m_client.disconnectFromZEL();
        BenchLoop::waitFor([this]() { return m_ended; }, 10000);
    }

    bool ended() const { return m_ended; }
    qint64 nxproxy() const { return m_nxproxy; }
    qint64 tunnelBytes() { return m_backend.bytesRead() + m_backend.bytesWritten(); }

private:
    ZELNXBackend m_backend;
    ZELClient m_client;
    bool m_up = false;
    bool m_ended = false;
    qint64 m_nxproxy = 0;
};

// What has been spent and carried up to one moment.
struct Sample
{
    qint64 atMs = 0;
    double clientCpu = 0;
    double nxproxyCpu = 0;
    qint64 tunnelBytes = 0;
};

Sample sample(Session &session)
{
    return Sample{QDateTime::currentMSecsSinceEpoch(), ownCpuSeconds(), processCpuSeconds(session.nxproxy()),
                  session.tunnelBytes()};
}

// Samples taken every few milliseconds while the event loop runs.
class Sampler
{
public:
    explicit Sampler(Session &session)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this, &session]() { m_samples << sample(session); });
        m_samples << sample(session);
        m_timer.start(SampleMs);
    }

    // The first sample at or after fromMs and the last one at or before toMs.
    bool window(qint64 fromMs, qint64 toMs, Sample *first, Sample *last) const
    {
        int a = -1, b = -1;
        for (int i = 0; i < m_samples.size(); ++i) {
            if (a < 0 && m_samples.at(i).atMs >= fromMs)
                a = i;
            if (m_samples.at(i).atMs <= toMs)
                b = i;
        }
        if (a < 0 || b <= a)
            return false;
        *first = m_samples.at(a);
        *last = m_samples.at(b);
        return true;
    }

private:
    QTimer m_timer;
    QVector<Sample> m_samples;
};

QJsonObject sftpReport(const QString &reportFile)
{
    QFile report(reportFile);
    if (!report.open(QIODevice::ReadOnly))
        return QJsonObject();
    for (const QByteArray &line : report.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.value(QStringLiteral("event")).toString() == QLatin1String("sftp"))
            return entry;
    }
    return QJsonObject();
}

struct ShareResult
{
    double megabytesPerSecond = 0;
    double clientCpuPerGib = 0;
    double nxproxyCpuPerGib = 0;
    qint64 longestWaitMs = 0;
    bool sameCopy = false;
};

ShareResult shareCopy(const Options &options, const BenchBroker &broker, const QString &folder, const QString &reportFile,
                      const QString &copyFile)
{
    Session session(broker, ShareVm, {folder});
    Sampler sampler(session);
    QJsonObject sftp;
    qint64 reportSize = -1;
    const auto reported = [&]() {
        // Read again only when it has grown.
        const qint64 size = QFileInfo(reportFile).size();
        if (size != reportSize) {
            reportSize = size;
            sftp = sftpReport(reportFile);
        }
        return !sftp.isEmpty() || session.ended();
    };
    if (!BenchLoop::waitFor(reported, BenchLoop::StepLimitMs, LookMs))
        BenchLoop::fail(QStringLiteral("the VM did not read the shared file"));
    if (sftp.value(QStringLiteral("result")).toString() != QLatin1String("ok"))
        BenchLoop::fail(QStringLiteral("the VM's read failed: %1").arg(QString::fromUtf8(QJsonDocument(sftp).toJson())));

    const QJsonObject file = sftp.value(QStringLiteral("file")).toObject();
    const qint64 started = qint64(file.value(QStringLiteral("readStarted")).toDouble());
    const qint64 ended = qint64(file.value(QStringLiteral("readEnded")).toDouble());
    Sample first, last;
    if (!sampler.window(started, ended, &first, &last))
        BenchLoop::fail(QStringLiteral("the read was too short to measure; give a larger --size"));
    const double gib = double(last.tunnelBytes - first.tunnelBytes) / Gib;

    ShareResult result;
    result.megabytesPerSecond = double(options.size) / 1e6 / (double(qMax<qint64>(1, ended - started)) / 1000);
    result.clientCpuPerGib = (last.clientCpu - first.clientCpu) / gib;
    result.nxproxyCpuPerGib = (last.nxproxyCpu - first.nxproxyCpu) / gib;
    result.longestWaitMs = qint64(file.value(QStringLiteral("longestWaitMs")).toDouble());
    result.sameCopy = qint64(file.value(QStringLiteral("size")).toDouble()) == options.size
                      && sameContent(folder + QLatin1Char('/') + SharedFile, copyFile);
    return result;
}

// Runs the forwarder benchmark with the given arguments, a process of its own, and reads the
// figures that follow each of the prefixes in its output.
QVector<double> forwarderBenchFigures(const Options &options, const QStringList &arguments,
                                      const QList<QByteArray> &prefixes)
{
    QProcess bench;
    bench.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bench.start(options.forwarderBench, arguments);
    if (!BenchLoop::waitFor([&]() { return bench.state() == QProcess::NotRunning; }) || bench.exitCode() != 0)
        BenchLoop::fail(QStringLiteral("the forwarder benchmark failed"));
    const QByteArray output = bench.readAllStandardOutput();
    QVector<double> figures;
    for (const QByteArray &prefix : prefixes) {
        const int at = output.indexOf(prefix);
        if (at < 0)
            BenchLoop::fail(QStringLiteral("the forwarder benchmark said: %1").arg(QString::fromUtf8(output)));
        figures << output.mid(at + prefix.size()).split(' ').value(0).toDouble();
    }
    return figures;
}

struct RedrawResult
{
    double bytesPerSecond = 0;
    double clientCpuPerGib = 0;
};

RedrawResult redraw(const Options &options, const BenchBroker &broker)
{
    Session session(broker, RedrawVm, {});
    BenchLoop::waitFor([]() { return false; }, RedrawSettleMs);
    const Sample first = sample(session);
    BenchLoop::waitFor([&session]() { return session.ended(); }, options.redrawSeconds * 1000, LookMs);
    const Sample last = sample(session);
    if (session.ended())
        BenchLoop::fail(QStringLiteral("the redrawing session ended"));
    const double seconds = double(last.atMs - first.atMs) / 1000;
    const qint64 bytes = last.tunnelBytes - first.tunnelBytes;
    RedrawResult result;
    result.bytesPerSecond = double(bytes) / seconds;
    result.clientCpuPerGib = bytes > 0 ? (last.clientCpu - first.clientCpu) / (double(bytes) / Gib) : 0;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    QDir().mkpath(options.workdir);
    BenchLoop::start("zel-share-bench", options.workdir + QStringLiteral("/share-bench.log"), options.verbose);
    // The local X server is a headless one of the benchmark's own.
    qunsetenv("DISPLAY");

    const QString folder = options.workdir + QStringLiteral("/shared");
    const QString reportFile = options.workdir + QStringLiteral("/share-report.jsonl");
    const QString copyFile = options.workdir + QStringLiteral("/vm-copy.bin");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QFile::remove(reportFile);
    QFile::remove(copyFile);
    writeSharedFile(folder + QLatin1Char('/') + SharedFile, options.size);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZEL_SLAVE_REPORT"), reportFile);
    environment.insert(QStringLiteral("ZEL_SLAVE_SFTP_FILE"), SharedFile);
    environment.insert(QStringLiteral("ZEL_SLAVE_SFTP_READS_IN_FLIGHT"), QString::number(options.readsInFlight));
    environment.insert(QStringLiteral("ZEL_SLAVE_SFTP_COPY"), copyFile);
    // The copy starts once the session has settled, as a user's would.
    environment.insert(QStringLiteral("ZEL_SLAVE_SFTP_DELAY_MS"), QString::number(CopyDelayMs));
    environment.insert(QStringLiteral("ZEL_SLAVE_SHARES_LIST"), options.workdir + QStringLiteral("/shared-folders.txt"));
    environment.remove(QStringLiteral("DISPLAY"));
    BenchBroker broker(options.broker, brokerConfig(options), options.workdir, QStringLiteral("share"), environment);

    const ShareResult share = shareCopy(options, broker, folder, reportFile, copyFile);
    std::printf("share read: %.1f MB/s\n", share.megabytesPerSecond);
    std::printf("longest wait for an answer: %lld ms\n", static_cast<long long>(share.longestWaitMs));
    std::printf("client CPU: %.2f s/GiB\n", share.clientCpuPerGib);
    std::printf("nxproxy CPU: %.2f s/GiB\n", share.nxproxyCpuPerGib);
    std::printf("copy identical: %s\n", share.sameCopy ? "yes" : "no");
    std::fflush(stdout);

    const double bulk = forwarderBenchFigures(
        options, {QStringLiteral("bulk"), QStringLiteral("--bytes"), QString::number(options.bulkSize >> 20)},
        {QByteArrayLiteral("bulk forwarder CPU: ")})
                            .value(0);
    std::printf("bulk forwarder CPU: %.2f s/GiB\n", bulk);
    // What relaying costs per GiB when every piece comes alone and is as small as those nxproxy
    // writes on the slave channel, for the forwarder and for socat: the floor the share copy's
    // figure can reach without holding data back.
    const QVector<double> pieces = forwarderBenchFigures(
        options, {QStringLiteral("pieces"), QStringLiteral("--piece-size"), QString::number(SlavePieceSize)},
        {QByteArrayLiteral("pieces, forwarder CPU: "), QByteArrayLiteral("pieces, socat CPU: ")});
    std::printf("%d-byte pieces, forwarder CPU: %.2f s/GiB\n", SlavePieceSize, pieces.value(0));
    std::printf("%d-byte pieces, socat CPU: %.2f s/GiB\n", SlavePieceSize, pieces.value(1));
    std::fflush(stdout);

    const RedrawResult drawing = redraw(options, broker);
    std::printf("redraw traffic: %.0f bytes/s\n", drawing.bytesPerSecond);
    std::printf("redraw client CPU: %.2f s/GiB\n", drawing.clientCpuPerGib);
    std::fflush(stdout);

    BenchTargets targets("share");
    const double ratio = bulk > 0 ? share.clientCpuPerGib / bulk : 0;
    targets.add("client CPU on the share copy, x bulk", BenchTargets::number(ratio, 1) + "x",
                "<= " + BenchTargets::number(shareCpuTargetRatio, 0) + "x", bulk > 0 && ratio <= shareCpuTargetRatio);
    targets.add("copy identical", share.sameCopy ? "yes" : "no", "yes", share.sameCopy);
    return targets.report();
}
