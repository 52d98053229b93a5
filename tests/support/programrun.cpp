#include "programrun.h"

#include "testenvironment.h"

QString ProgramRun::clientProgram()
{
    return QStringLiteral(ZEL_CLIENT_PROGRAM);
}

ProgramRun ProgramRun::client(const QStringList &arguments, const QProcessEnvironment &environment,
                              const QString &workingDirectory, const QByteArray &input)
{
    QProcessEnvironment env = environment;
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return run(arguments, env, workingDirectory, input);
}

ProgramRun ProgramRun::clientOnDisplay(const QString &display, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("DISPLAY"), display);
    return run(arguments, env, QString());
}

ProgramRun ProgramRun::run(const QStringList &arguments, const QProcessEnvironment &environment,
                           const QString &workingDirectory, const QByteArray &input)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(clientProgram(), arguments);
    process.write(input);
    process.closeWriteChannel();

    ProgramRun run;
    if (!process.waitForFinished(TestEnvironment::timeout(60000))) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

ProcessGuard::ProcessGuard()
    : m_process(std::make_unique<QProcess>())
{
}

ProcessGuard::~ProcessGuard()
{
    end(*m_process);
}

void ProcessGuard::end(QProcess &process, int graceMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(TestEnvironment::timeout(graceMs))) {
        process.kill();
        process.waitForFinished(TestEnvironment::timeout(5000));
    }
}
