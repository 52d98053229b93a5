#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

// Runs the client program the way a user starts it from a terminal, without a display, and
// collects what it printed.
class ProgramRun
{
public:
    int exitCode = -1;   // -1: crashed or did not end in time
    QString out;
    QString err;

    static QString clientProgram();
    // The program's standard input holds input, then ends.
    static ProgramRun client(const QStringList &arguments,
                             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                             const QString &workingDirectory = QString(), const QByteArray &input = QByteArray());
    // The same with DISPLAY set to the given X display (and no other window system).
    static ProgramRun clientOnDisplay(const QString &display, const QStringList &arguments);

private:
    static ProgramRun run(const QStringList &arguments, const QProcessEnvironment &environment,
                          const QString &workingDirectory, const QByteArray &input = QByteArray());
};

// Ends a started program however the test leaves.
class ProcessGuard
{
public:
    ProcessGuard();
    ~ProcessGuard();

    QProcess *operator->() const { return m_process.get(); }
    QProcess *get() const { return m_process.get(); }

    // Asks a running program to end (SIGTERM) and kills it when it has not within graceMs.
    static void end(QProcess &process, int graceMs = 5000);

private:
    std::unique_ptr<QProcess> m_process;
};
