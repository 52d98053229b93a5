#include "benchdriver.h"

#include "benchprotocol.h"
#include "benchtargets.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A line from a child's output, or empty after the timeout or at its end.
QByteArray readLine(int fd, int timeoutMs)
{
    QByteArray line;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (poll(&p, 1, std::max(left, 1)) <= 0)
            continue;
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0)
            return QByteArray();
        if (c == '\n')
            return line;
        line += c;
    }
    return QByteArray();
}

int connectLoopback(quint16 port, int receiveBuffer = 0, int timeoutSeconds = 120)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    timeval timeout{timeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool readExactly(int fd, char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool sendHeader(int fd, BenchProtocol::Command command, qint64 count)
{
    char header[BenchProtocol::HeaderSize];
    BenchProtocol::encodeHeader(header, command, count);
    return writeAll(fd, header, sizeof header);
}

// Pushes count bytes as fast as the path takes them, then waits for the endpoint's receipt.
bool pushAndWait(int fd, qint64 count)
{
    static const QByteArray block(256 * 1024, 'q');
    for (qint64 left = count; left > 0;) {
        const qint64 size = std::min<qint64>(left, block.size());
        if (!writeAll(fd, block.constData(), size))
            return false;
        left -= size;
    }
    char done = 0;
    return readExactly(fd, &done, 1) && done == BenchProtocol::Done;
}

// Sends bytes through the relay, or has the endpoint send them, as fast as they go.
bool transfer(int fd, bool upload, qint64 bytes)
{
    if (upload)
        return sendHeader(fd, BenchProtocol::Upload, bytes) && pushAndWait(fd, bytes);
    bool ok = sendHeader(fd, BenchProtocol::Download, bytes);
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    for (qint64 left = bytes; ok && left > 0;) {
        const ssize_t n = ::read(fd, buffer.data(), size_t(std::min<qint64>(left, buffer.size())));
        ok = n > 0;
        left -= n;
    }
    return ok;
}

double residentMiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double percentile(const QVector<double> &sorted, double fraction)
{
    if (sorted.isEmpty())
        return 0;
    const int index = std::clamp(int(std::ceil(fraction * sorted.size())) - 1, 0, int(sorted.size()) - 1);
    return sorted.at(index);
}

const char *relayName(int relay)
{
    return relay == 0 ? "SocketForwarder" : "socat";
}

} // namespace

BenchDriver::BenchDriver(const Options &options)
    : m_options(options)
{
    signal(SIGPIPE, SIG_IGN);
}

BenchDriver::~BenchDriver()
{
    stop(m_endpoint);
}

bool BenchDriver::makeCertificate()
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(m_options.openssl,
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-keyout"), m_dir.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
                   m_dir.filePath(QStringLiteral("cert.pem")), QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=localhost")});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        std::fprintf(stderr, "openssl failed: %s\n", openssl.readAll().constData());
        return false;
    }
    return true;
}

BenchDriver::Child BenchDriver::spawn(const QStringList &arguments, int outputFd)
{
    int pipeFds[2];
    Child child;
    if (pipe(pipeFds) != 0)
        return child;
    QVector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage << QFile::encodeName(argument);
    QVector<char *> argv;
    for (QByteArray &argument : storage)
        argv << argument.data();
    argv << nullptr;

    const pid_t pid = fork();
    if (pid == 0) {
        // Children go with the benchmark, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(pipeFds[1], outputFd);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    child.pid = pid;
    child.output = pipeFds[0];
    return child;
}

void BenchDriver::stop(Child &child)
{
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
    }
    if (child.output >= 0)
        ::close(child.output);
    child = Child();
}

bool BenchDriver::startEndpoint()
{
    m_endpoint = spawn({m_options.program, QStringLiteral("endpoint"), m_dir.filePath(QStringLiteral("cert.pem")),
                        m_dir.filePath(QStringLiteral("key.pem"))},
                       STDOUT_FILENO);
    const QByteArray line = readLine(m_endpoint.output, 20000);
    if (!line.startsWith("READY ")) {
        std::fprintf(stderr, "the TLS endpoint did not start\n");
        return false;
    }
    m_endpointPort = quint16(line.mid(6).toUInt());
    return true;
}

BenchDriver::Child BenchDriver::startRelay(Relay relay, quint16 &port, bool localFirst)
{
    Child child;
    if (relay == Relay::Forwarder) {
        QStringList arguments{m_options.program, QStringLiteral("relay"), QString::number(m_endpointPort)};
        if (localFirst)
            arguments << QStringLiteral("local-first");
        child = spawn(arguments, STDOUT_FILENO);
        const QByteArray line = readLine(child.output, 20000);
        port = line.startsWith("READY ") ? quint16(line.mid(6).toUInt()) : 0;
    } else {
        port = freePort();
        child = spawn({m_options.socat, QStringLiteral("-d"), QStringLiteral("-d"),
                       QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port),
                       QStringLiteral("OPENSSL:127.0.0.1:%1,verify=0").arg(m_endpointPort)},
                      STDERR_FILENO);
        for (;;) {
            const QByteArray line = readLine(child.output, 20000);
            if (line.isEmpty()) {
                port = 0;
                break;
            }
            if (line.contains("listening on"))
                break;
        }
    }
    if (port == 0) {
        std::fprintf(stderr, "%s relay did not start\n", relayName(int(relay)));
        stop(child);
    }
    child.idleRssMiB = residentMiB(child.pid);
    return child;
}

// Lets the relay end on its own after its connection closed, and takes its resource usage.
BenchDriver::Usage BenchDriver::finishRelay(Child &child)
{
    Usage usage;
    usage.idleRssMiB = child.idleRssMiB;
    rusage resources{};
    int status = 0;
    pid_t done = 0;
    const auto start = Clock::now();
    while ((done = wait4(child.pid, &status, WNOHANG, &resources)) == 0 && secondsSince(start) < 5) {
        // Keep the relay's diagnostics flowing so that it never blocks on a full pipe.
        pollfd p{child.output, POLLIN, 0};
        if (poll(&p, 1, 5) > 0) {
            char buffer[4096];
            if (::read(child.output, buffer, sizeof buffer) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (done == 0) {
        // A relay blocked in a read may restart it after SIGTERM; the usage of a killed
        // process is reported all the same.
        kill(child.pid, SIGTERM);
        const auto asked = Clock::now();
        while ((done = wait4(child.pid, &status, WNOHANG, &resources)) == 0 && secondsSince(asked) < 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (done == 0) {
            kill(child.pid, SIGKILL);
            wait4(child.pid, &status, 0, &resources);
        }
        std::fprintf(stderr, "  (a relay had to be stopped)\n");
    }
    ::close(child.output);
    child = Child();
    usage.cpuSeconds = double(resources.ru_utime.tv_sec + resources.ru_stime.tv_sec)
                       + double(resources.ru_utime.tv_usec + resources.ru_stime.tv_usec) / 1e6;
    usage.peakRssMiB = double(resources.ru_maxrss) / 1024.0;
    return usage;
}

BenchDriver::Throughput BenchDriver::throughput(Relay relay, bool upload, qint64 bytes)
{
    Throughput result;
    quint16 port = 0;
    Child child = startRelay(relay, port);
    if (port == 0)
        return result;
    const int fd = connectLoopback(port);
    bool ok = fd >= 0;
    const auto start = Clock::now();
    ok = ok && transfer(fd, upload, bytes);
    result.seconds = secondsSince(start);
    if (fd >= 0)
        ::close(fd);
    result.usage = finishRelay(child);
    if (!ok) {
        std::fprintf(stderr, "%s: the %s transfer failed\n", relayName(int(relay)), upload ? "upload" : "download");
        result.seconds = 0;
    }
    return result;
}

bool BenchDriver::relayedLatency(Relay relay, int pings, QVector<double> &times)
{
    Usage usage;
    return echoThroughRelay(relay, 1, pings, 200, &times, &usage);
}

// Echoes count pieces of size bytes one at a time through a fresh relay, after warmUp more that
// are not timed; each timed round trip, in microseconds, goes to times when it is given.
bool BenchDriver::echoThroughRelay(Relay relay, qint64 size, int count, int warmUp, QVector<double> *times,
                                   Usage *usage)
{
    quint16 port = 0;
    Child child = startRelay(relay, port);
    if (port == 0)
        return false;
    const int fd = connectLoopback(port);
    bool ok = fd >= 0 && sendHeader(fd, BenchProtocol::PingPong, size * (warmUp + count));
    QByteArray piece(int(size), 'p');
    for (int i = 0; ok && i < warmUp + count; ++i) {
        piece[0] = char(i);
        const auto start = Clock::now();
        ok = writeAll(fd, piece.constData(), size) && readExactly(fd, piece.data(), size);
        if (times && i >= warmUp)
            *times << secondsSince(start) * 1e6;
    }
    if (fd >= 0)
        ::close(fd);
    *usage = finishRelay(child);
    if (!ok)
        std::fprintf(stderr, "%s: echo of %lld-byte pieces failed\n", relayName(int(relay)), static_cast<long long>(size));
    return ok;
}

BenchDriver::Latency BenchDriver::summarise(QVector<double> times)
{
    Latency result;
    std::sort(times.begin(), times.end());
    result.median = percentile(times, 0.5);
    result.p99 = percentile(times, 0.99);
    result.p90 = percentile(times, 0.9);
    result.p999 = percentile(times, 0.999);
    return result;
}

// The same ping-pong straight to the TLS endpoint, without a relay: what the relays add is
// measured against it.
bool BenchDriver::directLatency(int pings, QVector<double> &times)
{
    QSslSocket socket;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.setSslConfiguration(configuration);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_endpointPort);
    if (!socket.waitForEncrypted(20000)) {
        std::fprintf(stderr, "direct TLS connection failed: %s\n", qPrintable(socket.errorString()));
        return false;
    }
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const int warmUp = 200;
    char header[BenchProtocol::HeaderSize];
    BenchProtocol::encodeHeader(header, BenchProtocol::PingPong, warmUp + pings);
    socket.write(header, sizeof header);
    socket.flush();
    for (int i = 0; i < warmUp + pings; ++i) {
        char byte = char(i);
        const auto start = Clock::now();
        socket.write(&byte, 1);
        socket.flush();
        while (socket.bytesAvailable() < 1) {
            if (!socket.waitForReadyRead(20000)) {
                std::fprintf(stderr, "direct ping-pong failed\n");
                return false;
            }
        }
        socket.read(&byte, 1);
        if (i >= warmUp)
            times << secondsSince(start) * 1e6;
    }
    socket.abort();
    return true;
}

// A fast sender and a slow reader on the far side of the relay; what matters is the relay's
// peak memory.
BenchDriver::Usage BenchDriver::slowReader(Relay relay, bool upload, bool *complete)
{
    *complete = false;
    quint16 port = 0;
    Child child = startRelay(relay, port);
    if (port == 0)
        return Usage();
    const qint64 bytes = m_options.slowBytes;
    bool ok;
    int fd;
    if (upload) {
        fd = connectLoopback(port);
        ok = fd >= 0 && sendHeader(fd, BenchProtocol::SlowUpload, bytes) && pushAndWait(fd, bytes);
    } else {
        fd = connectLoopback(port, int(BenchProtocol::SlowBytesPerTick));
        ok = fd >= 0 && sendHeader(fd, BenchProtocol::Download, bytes);
        QByteArray buffer(int(BenchProtocol::SlowBytesPerTick), Qt::Uninitialized);
        for (qint64 left = bytes; ok && left > 0;) {
            const ssize_t n = ::read(fd, buffer.data(), size_t(std::min<qint64>(left, buffer.size())));
            ok = n > 0;
            left -= n;
            std::this_thread::sleep_for(std::chrono::milliseconds(BenchProtocol::SlowTickMs));
        }
    }
    if (fd >= 0)
        ::close(fd);
    const Usage usage = finishRelay(child);
    *complete = ok;
    return usage;
}

// The local client sends before the relay's tunnel is up (socat always works that way): the
// transfer must complete all the same, and soon.
bool BenchDriver::waitingAtStart(Relay relay, bool upload)
{
    quint16 port = 0;
    Child child = startRelay(relay, port, true);
    if (port == 0)
        return false;
    const qint64 bytes = qint64(16) << 20;
    const int fd = connectLoopback(port, 0, 20);
    bool ok = fd >= 0;
    ok = ok && transfer(fd, upload, bytes);
    if (fd >= 0)
        ::close(fd);
    if (ok) {
        finishRelay(child);
    } else {
        std::fprintf(stderr, "%s: the %s with bytes waiting at the start stalled\n", relayName(int(relay)),
                     upload ? "upload" : "download");
        stop(child);
    }
    return ok;
}

// Pieces echoed one at a time, so that the relay handles each on its own in both directions, as
// it does the short messages of a session: its CPU per GiB carried, both ways counted.
double BenchDriver::piecesCpuPerGib(Relay relay)
{
    Usage usage;
    if (!echoThroughRelay(relay, m_options.pieceSize, m_options.pieces, 0, nullptr, &usage))
        return -1;
    return usage.cpuSeconds / (2 * double(m_options.pieceSize) * m_options.pieces / double(qint64(1) << 30));
}

int BenchDriver::smallPieces()
{
    if (!m_dir.isValid() || !makeCertificate() || !startEndpoint())
        return 1;
    const double ours = piecesCpuPerGib(Relay::Forwarder);
    const double theirs = piecesCpuPerGib(Relay::Socat);
    if (ours < 0 || theirs < 0)
        return 1;
    std::printf("%d-byte pieces, forwarder CPU: %.2f s/GiB\n", m_options.pieceSize, ours);
    std::printf("%d-byte pieces, socat CPU: %.2f s/GiB\n", m_options.pieceSize, theirs);
    return 0;
}

int BenchDriver::bulk()
{
    if (!m_dir.isValid() || !makeCertificate() || !startEndpoint())
        return 1;
    double cpu = 0;
    for (bool upload : {true, false}) {
        const Throughput t = throughput(Relay::Forwarder, upload, m_options.bytes);
        if (t.seconds <= 0)
            return 1;
        std::printf("bulk %-8s %8.1f MB/s  %.2f CPU s\n", upload ? "upload" : "download",
                    double(m_options.bytes) / t.seconds / 1e6, t.usage.cpuSeconds);
        cpu += t.usage.cpuSeconds;
    }
    // Per GiB moved, as the full run's "CPU both directions".
    std::printf("bulk forwarder CPU: %.2f s/GiB\n", cpu / (2 * double(m_options.bytes) / double(qint64(1) << 30)));
    return 0;
}

int BenchDriver::run()
{
    if (!m_dir.isValid() || !makeCertificate() || !startEndpoint())
        return 1;

    const double gib = double(qint64(1) << 30);
    const double mb = 1e6;
    std::printf("SocketForwarder against socat (%s), relaying between loopback TCP and TLS\n",
                qPrintable(m_options.socat));
    std::printf("%.0f MiB per direction and relay, %d run(s) each, best run kept; %d pings\n\n",
                double(m_options.bytes) / (1 << 20), m_options.repeat, m_options.pings);

    struct Result
    {
        double upSeconds = 0, downSeconds = 0, upCpu = 0, downCpu = 0;
        double idleRss = 0, transferGrowth = 0;
        Latency latency;
        Usage slowUp, slowDown;
        bool slowUpComplete = false, slowDownComplete = false;
        bool waitingUp = false, waitingDown = false;
    } results[2];

    for (int r = 0; r < m_options.repeat; ++r) {
        for (int relay = 0; relay < 2; ++relay) {
            for (bool upload : {true, false}) {
                const Throughput t = throughput(Relay(relay), upload, m_options.bytes);
                if (t.seconds <= 0)
                    return 1;
                Result &result = results[relay];
                double &seconds = upload ? result.upSeconds : result.downSeconds;
                double &cpu = upload ? result.upCpu : result.downCpu;
                if (seconds == 0 || t.seconds < seconds) {
                    seconds = t.seconds;
                    cpu = t.usage.cpuSeconds;
                }
                result.idleRss = std::max(result.idleRss, t.usage.idleRssMiB);
                result.transferGrowth = std::max(result.transferGrowth, t.usage.growthMiB());
                std::fprintf(stderr, "  %-15s %-8s %8.1f MB/s  %.2f CPU s  +%.1f MiB\n", relayName(relay),
                             upload ? "upload" : "download", double(m_options.bytes) / t.seconds / mb,
                             t.usage.cpuSeconds, t.usage.growthMiB());
            }
        }
    }
    // Round trips in alternating rounds, so that a burst of load elsewhere on the machine hits
    // the direct path and both relays alike.
    const int rounds = 5;
    QVector<double> directTimes, relayTimes[2];
    for (int round = 0; round < rounds; ++round) {
        const int pings = std::max(1, m_options.pings / rounds);
        if (!directLatency(pings, directTimes) || !relayedLatency(Relay::Forwarder, pings, relayTimes[0])
            || !relayedLatency(Relay::Socat, pings, relayTimes[1]))
            return 1;
    }
    const Latency direct = summarise(directTimes);
    const double piecesCpu[2] = {piecesCpuPerGib(Relay::Forwarder), piecesCpuPerGib(Relay::Socat)};
    if (piecesCpu[0] < 0 || piecesCpu[1] < 0)
        return 1;
    for (int relay = 0; relay < 2; ++relay) {
        Result &result = results[relay];
        result.latency = summarise(relayTimes[relay]);
        result.slowUp = slowReader(Relay(relay), true, &result.slowUpComplete);
        result.slowDown = slowReader(Relay(relay), false, &result.slowDownComplete);
        result.waitingUp = waitingAtStart(Relay(relay), true);
        result.waitingDown = waitingAtStart(Relay(relay), false);
    }

    const auto rate = [&](double seconds) { return seconds > 0 ? double(m_options.bytes) / seconds / mb : 0.0; };
    const auto perGib = [&](double cpu) { return cpu / (double(m_options.bytes) / gib); };
    const Result &ours = results[0];
    const Result &theirs = results[1];
    const double oursTotal = rate(ours.upSeconds + ours.downSeconds) * 2;
    const double theirsTotal = rate(theirs.upSeconds + theirs.downSeconds) * 2;
    const auto yesNo = [](bool yes) { return yes ? "yes" : "NO"; };

    std::printf("%-44s %12s %12s %10s\n", "", "forwarder", "socat", "ratio");
    const auto row = [](const char *name, double a, double b) {
        std::printf("%-44s %12.1f %12.1f %10.2f\n", name, a, b, b != 0 ? a / b : 0.0);
    };
    const auto pair = [](const char *name, const char *a, const char *b) {
        std::printf("%-44s %12s %12s\n", name, a, b);
    };
    row("throughput local->TLS (MB/s)", rate(ours.upSeconds), rate(theirs.upSeconds));
    row("throughput TLS->local (MB/s)", rate(ours.downSeconds), rate(theirs.downSeconds));
    row("throughput both directions (MB/s)", oursTotal, theirsTotal);
    std::printf("%-44s %12.2f %12.2f\n", "CPU local->TLS (s/GiB)", perGib(ours.upCpu), perGib(theirs.upCpu));
    std::printf("%-44s %12.2f %12.2f\n", "CPU TLS->local (s/GiB)", perGib(ours.downCpu), perGib(theirs.downCpu));
    std::printf("%-44s %12.2f %12.2f\n", "CPU both directions (s/GiB)", perGib(ours.upCpu + ours.downCpu) / 2,
                perGib(theirs.upCpu + theirs.downCpu) / 2);
    const QByteArray piecesRow = QByteArray::number(m_options.pieceSize) + "-byte pieces one at a time (s/GiB)";
    row(piecesRow.constData(), piecesCpu[0], piecesCpu[1]);
    std::printf("%-44s %12.1f %12.1f\n", "1-byte round trip, median (us)", ours.latency.median,
                theirs.latency.median);
    std::printf("%-44s %12.1f %12.1f\n", "1-byte round trip, p99 (us)", ours.latency.p99, theirs.latency.p99);
    std::printf("%-44s %12.1f %12s\n", "  direct TLS round trip, median (us)", direct.median, "");
    std::printf("%-44s %12.1f %12s\n", "  direct TLS round trip, p99 (us)", direct.p99, "");
    const double oursAddedMedian = ours.latency.median - direct.median;
    const double theirsAddedMedian = theirs.latency.median - direct.median;
    row("added round trip, median (us)", oursAddedMedian, theirsAddedMedian);
    row("added round trip, p99 (us)", ours.latency.p99 - direct.p99, theirs.latency.p99 - direct.p99);
    std::printf("%-44s %12.1f %12.1f\n", "RSS of the idle relay (MiB)", ours.idleRss, theirs.idleRss);
    std::printf("%-44s %12.1f %12.1f\n", "RSS above idle, 1 GiB transfers (MiB)", ours.transferGrowth,
                theirs.transferGrowth);
    std::printf("%-44s %12.1f %12.1f\n", "RSS above idle, slow TLS reader (MiB)", ours.slowUp.growthMiB(),
                theirs.slowUp.growthMiB());
    std::printf("%-44s %12.1f %12.1f\n", "RSS above idle, slow local reader (MiB)", ours.slowDown.growthMiB(),
                theirs.slowDown.growthMiB());
    const bool slowOk = ours.slowUpComplete && ours.slowDownComplete;
    pair("slow-reader transfers complete", yesNo(slowOk), yesNo(theirs.slowUpComplete && theirs.slowDownComplete));
    const bool waitingOk = ours.waitingUp && ours.waitingDown;
    pair("bytes waiting at the start, both ways moved", yesNo(waitingOk), yesNo(theirs.waitingUp && theirs.waitingDown));

    BenchTargets targets("forwarder");
    using N = BenchTargets;
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const double upRatio = ratio(rate(ours.upSeconds), rate(theirs.upSeconds));
    const double downRatio = ratio(rate(ours.downSeconds), rate(theirs.downSeconds));
    targets.add("throughput local->TLS, x socat", N::number(upRatio, 2) + "x", ">= 1.5x", upRatio >= 1.5);
    targets.add("throughput TLS->local, x socat", N::number(downRatio, 2) + "x", ">= 1.5x", downRatio >= 1.5);
    const double cpu = std::max(perGib(ours.upCpu), perGib(ours.downCpu));
    targets.add("relay CPU, either direction (s/GiB)", N::number(cpu, 2), "<= 0.9", cpu <= 0.9);
    // Added latency can be at or below zero when a relay is as quick as the direct path.
    const double latencyRatio = oursAddedMedian / std::max(theirsAddedMedian, 0.5);
    targets.add("added round trip p50, x socat", N::number(latencyRatio, 2) + "x", "<= 1.25x",
                latencyRatio <= 1.25);
    targets.add("RSS above idle during 1 GiB (MiB)", N::number(ours.transferGrowth), "<= 4",
                ours.transferGrowth <= 4);
    const double slowGrowth = std::max(ours.slowUp.growthMiB(), ours.slowDown.growthMiB());
    targets.add("RSS above idle, slow reader (MiB)", slowOk ? N::number(slowGrowth) : "incomplete", "<= 4",
                slowOk && slowGrowth <= 4);
    targets.add("bytes waiting at the start moved", yesNo(waitingOk), "yes", waitingOk);
    return targets.report();
}
