// Resume benchmark of the connection library: how long a remote desktop whose link drops takes
// to come back.
//
//   zel-resume-bench --broker PATH --slave-service PATH --workdir DIR [--verbose]
//
// Starts the demo broker with one VM that keeps its session (a clock as its desktop program)
// and connects it as the program does: session client, NX backend on a headless X server of
// its own, session keeper. Then the broker cuts the tunnel, closed, and in a second round
// stalled; each round is timed from the cut to the desktop drawn again in the same X server.
// Prints "resume closed: <ms> ms", "resume stalled: <ms> ms" and "same session: yes" when the
// VM's desktop program is the same process after both. The client's log goes to
// DIR/resume-bench.log (and to standard error with --verbose).
// Exit status: 0 targets met, 2 a target missed, 1 the benchmark itself failed.

#include "backends/zelnxbackend.h"
#include "benchbroker.h"
#include "benchclock.h"
#include "benchloop.h"
#include "benchtargets.h"
#include "displaywatch.h"
#include "sessionkeeper.h"
#include "zelclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <csignal>
#include <cstdio>

namespace {

constexpr double closedTargetMs = 5000;
constexpr double stalledTargetMs = 30000;

struct Options
{
    QString broker;
    QString slaveService;
    QString workdir;
    bool verbose = false;
};

Options parseOptions(const QStringList &arguments)
{
    const QHash<QString, QString> given = BenchLoop::options(
        arguments, {QStringLiteral("broker"), QStringLiteral("slave-service"), QStringLiteral("workdir")},
        {QStringLiteral("verbose")}, {QStringLiteral("broker"), QStringLiteral("slave-service"), QStringLiteral("workdir")},
        QStringLiteral("usage: zel-resume-bench --broker PATH --slave-service PATH --workdir DIR [--verbose]"));
    Options options;
    options.broker = given.value(QStringLiteral("broker"));
    options.slaveService = given.value(QStringLiteral("slave-service"));
    options.workdir = given.value(QStringLiteral("workdir"));
    options.verbose = given.contains(QStringLiteral("verbose"));
    return options;
}

// One VM that keeps its session, with a clock as its desktop program.
QJsonObject brokerConfig(const Options &options, const QString &pidFile)
{
    const QString desktop =
        QStringLiteral("sh -c \"echo $$ > '%1'; exec xclock -update 1 -geometry 560x560+232+104\"").arg(pidFile);
    return QJsonObject{
        {QStringLiteral("processingResponses"), 0},
        {QStringLiteral("users"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("demo")},
                                                         {QStringLiteral("password"), QStringLiteral("demo")}}}},
        {QStringLiteral("vms"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), 1},
                                {QStringLiteral("name"), QStringLiteral("Demo desktop")},
                                {QStringLiteral("nxagent"),
                                 QJsonObject{{QStringLiteral("desktop"), desktop},
                                             {QStringLiteral("slaveService"), options.slaveService},
                                             {QStringLiteral("resumeSeconds"), 300}}}}}}};
}

qint64 desktopProgram(const QString &pidFile)
{
    QFile file(pidFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// The remote desktop on the local X server: a window under the root that shows more than one
// colour in its middle.
bool desktopDrawn(DisplayWatch &watch)
{
    const XID window = watch.findViewableAtDepth(1);
    return window && watch.looksDrawn(window);
}

// One round: from the cut to the desktop drawn again. The old desktop's window must go first;
// the last picture it leaves on the root is then painted over in the middle, so that only the
// resumed desktop's own drawing counts.
double resumeRound(BenchBroker &broker, DisplayWatch &watch, SessionKeeper &keeper, bool stall)
{
    int resumedBefore = 0;
    const QMetaObject::Connection counting =
        QObject::connect(&keeper, &SessionKeeper::resumed, &keeper, [&resumedBefore]() { ++resumedBefore; });
    if (!BenchLoop::waitFor([&]() { return desktopDrawn(watch); }))
        BenchLoop::fail(QStringLiteral("the desktop is not drawn before the cut"));
    const double cut = BenchClock::nowMs();
    broker.signal(stall ? SIGUSR2 : SIGUSR1);
    if (!BenchLoop::waitFor([&]() { return watch.findViewableAtDepth(1) == 0; }))
        BenchLoop::fail(QStringLiteral("the desktop's window did not go after the cut"));
    watch.coverMiddle();
    if (!BenchLoop::waitFor([&]() { return desktopDrawn(watch); }))
        BenchLoop::fail(QStringLiteral("the desktop did not come back"));
    const double drawn = BenchClock::nowMs();
    if (!resumedBefore && !BenchLoop::waitFor([&]() { return resumedBefore > 0; }, 10000))
        BenchLoop::fail(QStringLiteral("the keeper did not report the resume"));
    QObject::disconnect(counting);
    return drawn - cut;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    QDir().mkpath(options.workdir);
    const QString logFile = options.workdir + QStringLiteral("/resume-bench.log");
    BenchLoop::start("zel-resume-bench", logFile, options.verbose);
    // The local X server is a headless one of the benchmark's own.
    qunsetenv("DISPLAY");
    const QString pidFile = options.workdir + QStringLiteral("/resume-desktop.pid");
    QFile::remove(pidFile);

    BenchBroker broker(options.broker, brokerConfig(options, pidFile), options.workdir, QStringLiteral("resume"));
    const int display = BenchLoop::freeDisplay();
    if (display < 0)
        BenchLoop::fail(QStringLiteral("no free X display"));

    ZELNXBackend backend;
    backend.xServerLauncher().setDisplay(static_cast<unsigned short>(display));
    ZELClient client;
    SessionKeeper keeper(&client);
    client.setBackend(&backend);
    bool ended = false;
    QObject::connect(&client, &ZELClient::sslErrors, &client,
                     [&keeper](const QList<QSslError> &, const QList<QSslCertificate> &, bool &accept) {
                         if (!keeper.isResuming())
                             accept = true;
                     },
                     Qt::DirectConnection);
    QObject::connect(&client, &ZELClient::connectionEstablished, &client, [&]() {
        if (keeper.isResuming())
            return;
        keeper.watch(1, QStringLiteral("Demo desktop"));
        client.connectToVM(1);
    });
    QObject::connect(&client, &ZELClient::connectionTerminated, &client, [&]() { ended = !keeper.isResuming(); });

    client.setParameters(broker.connectionParameters());
    client.connectToZEL();
    if (!BenchLoop::waitFor([&]() { return desktopProgram(pidFile) > 0 || ended; }) || ended)
        BenchLoop::fail(QStringLiteral("the session did not start (see %1)").arg(logFile));
    const qint64 desktop = desktopProgram(pidFile);

    DisplayWatch watch;
    if (!BenchLoop::waitFor([&]() { return watch.open(QStringLiteral(":%1").arg(display).toStdString()); }, 30000))
        BenchLoop::fail(QStringLiteral("cannot watch the local X server"));

    const double closedMs = resumeRound(broker, watch, keeper, false);
    std::printf("resume closed: %.0f ms\n", closedMs);
    std::fflush(stdout);
    const double stalledMs = resumeRound(broker, watch, keeper, true);
    std::printf("resume stalled: %.0f ms\n", stalledMs);
    const bool sameSession = desktopProgram(pidFile) == desktop && QFile::exists(QStringLiteral("/proc/%1").arg(desktop));
    std::printf("same session: %s\n", sameSession ? "yes" : "no");
    std::fflush(stdout);

    client.disconnectFromZEL();
    watch.close();

    BenchTargets targets("resume");
    targets.add("resume after a closed tunnel", BenchTargets::number(closedMs, 0) + " ms",
                "< " + BenchTargets::number(closedTargetMs, 0) + " ms", closedMs < closedTargetMs);
    targets.add("resume after a stalled tunnel", BenchTargets::number(stalledMs, 0) + " ms",
                "< " + BenchTargets::number(stalledTargetMs, 0) + " ms", stalledMs < stalledTargetMs);
    targets.add("same session", sameSession ? "yes" : "no", "yes", sameSession);
    return targets.report();
}
