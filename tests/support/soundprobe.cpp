#include "soundprobe.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

const int ProgramTimeoutMs = 30000;

QProcessEnvironment environmentFor(const QString &server)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), server);
    return environment;
}

void collect(QProcess &process, const QString &name, QString *log)
{
    if (log)
        *log += QStringLiteral("%1 (exit %2): %3\n")
                    .arg(name)
                    .arg(process.exitCode())
                    .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
}

} // namespace

QStringList SoundProbe::formatArguments()
{
    return {QStringLiteral("--raw"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=44100"),
            QStringLiteral("--channels=2")};
}

QString SoundProbe::makeTone(const QString &dir)
{
    const QString tone = QDir(dir).filePath(QStringLiteral("tone.raw"));
    QProcess sox;
    sox.start(TestEnvironment::program(QStringLiteral("sox")),
              {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("44100"), QStringLiteral("-c"),
               QStringLiteral("2"), QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-e"),
               QStringLiteral("signed"), QStringLiteral("-t"), QStringLiteral("raw"), tone, QStringLiteral("synth"),
               QStringLiteral("2"), QStringLiteral("sine"), QStringLiteral("440"), QStringLiteral("vol"),
               QStringLiteral("0.5")});
    if (!sox.waitForFinished(TestEnvironment::timeout(ProgramTimeoutMs)) || sox.exitCode() != 0)
        return QString();
    return tone;
}

double SoundProbe::rmsWhilePlaying(const QString &recordServer, const QString &source, const QString &playServer,
                                   const QString &tone, QString *log)
{
    // The waits run the event loop: the sound may come through a relay this process runs.
    QProcess parec;
    QByteArray recorded;
    QObject::connect(&parec, &QProcess::readyReadStandardOutput, &parec,
                     [&]() { recorded += parec.readAllStandardOutput(); });
    parec.setProcessEnvironment(environmentFor(recordServer));
    parec.start(TestEnvironment::program(QStringLiteral("parec")),
                QStringList{QStringLiteral("-d"), source, QStringLiteral("--latency-msec=50")} + formatArguments());
    // The first recorded bytes say the recording runs; only then is the tone played.
    const QDeadlineTimer first(TestEnvironment::timeout(ProgramTimeoutMs));
    while (recorded.isEmpty() && parec.state() != QProcess::NotRunning && !first.hasExpired())
        QTest::qWait(20);
    if (recorded.isEmpty()) {
        ProcessGuard::end(parec);
        collect(parec, QStringLiteral("parec"), log);
        return -1;
    }

    QProcess pacat;
    pacat.setProcessEnvironment(environmentFor(playServer));
    QSignalSpy played(&pacat, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    pacat.start(TestEnvironment::program(QStringLiteral("pacat")), formatArguments() << tone);
    played.wait(TestEnvironment::timeout(ProgramTimeoutMs));
    const bool playedWell = !played.isEmpty() && pacat.exitStatus() == QProcess::NormalExit && pacat.exitCode() == 0;
    ProcessGuard::end(pacat);
    // The sound may still be on its way (a tunnel to another server adds latency).
    QTest::qWait(2000);
    ProcessGuard::end(parec);
    collect(pacat, QStringLiteral("pacat"), log);
    collect(parec, QStringLiteral("parec"), log);
    if (!playedWell)
        return -1;
    return rmsOf(recorded, QFileInfo(tone).absolutePath(), log);
}

double SoundProbe::rmsOfRecording(const QString &server, const QString &source, const QString &dir, QString *log)
{
    QProcess parec;
    parec.setProcessEnvironment(environmentFor(server));
    parec.start(TestEnvironment::program(QStringLiteral("parec")),
                QStringList{QStringLiteral("-d"), source, QStringLiteral("--latency-msec=50")} + formatArguments());
    // parec records until it is stopped. A source behind a tunnel may take a while to deliver
    // its first bytes on a busy machine, so the recording lasts a fixed time from its first
    // bytes, within an overall bound. The waits run the event loop: the sound may come through
    // a tunnel this process pumps.
    QByteArray recorded;
    QElapsedTimer sinceFirstBytes;
    QObject::connect(&parec, &QProcess::readyReadStandardOutput, &parec, [&]() {
        if (!sinceFirstBytes.isValid())
            sinceFirstBytes.start();
        recorded += parec.readAllStandardOutput();
    });
    QSignalSpy finished(&parec, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    QElapsedTimer overall;
    overall.start();
    bool ranThrough = false;
    while (!ranThrough && overall.elapsed() < 15000
           && !(sinceFirstBytes.isValid() && sinceFirstBytes.elapsed() >= 2000))
        ranThrough = finished.wait(TestEnvironment::timeout(100)) || !finished.isEmpty();
    recorded += parec.readAllStandardOutput();
    ProcessGuard::end(parec);
    collect(parec, QStringLiteral("parec"), log);
    if (ranThrough)
        return -1;
    return rmsOf(recorded, dir, log);
}

double SoundProbe::rmsOf(const QByteArray &recorded, const QString &dir, QString *log)
{
    QFile file(QDir(dir).filePath(QStringLiteral("recording.raw")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(recorded) != recorded.size())
        return -1;
    file.close();
    return rms(file.fileName(), log);
}

double SoundProbe::rms(const QString &rawFile, QString *log)
{
    QProcess sox;
    sox.start(TestEnvironment::program(QStringLiteral("sox")),
              {QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-r"), QStringLiteral("44100"),
               QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("-b"), QStringLiteral("16"),
               QStringLiteral("-e"), QStringLiteral("signed"), rawFile, QStringLiteral("-n"), QStringLiteral("stat")});
    if (!sox.waitForFinished(TestEnvironment::timeout(ProgramTimeoutMs)))
        return -1;
    const QString stat = QString::fromLocal8Bit(sox.readAllStandardError());
    if (log)
        *log += QStringLiteral("sox stat of %1 bytes: %2\n").arg(QFileInfo(rawFile).size()).arg(stat.simplified());
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("RMS\\s+amplitude:\\s+([0-9.eE+-]+)")).match(stat);
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}
