#include "benchbroker.h"

#include "benchloop.h"

#include <QFile>
#include <QJsonDocument>

#include <csignal>

BenchBroker::BenchBroker(const QString &program, const QJsonObject &config, const QString &workdir,
                         const QString &name, const QProcessEnvironment &environment)
{
    const QString prefix = workdir + QLatin1Char('/') + name + QStringLiteral("-broker");
    const QString configFile = prefix + QStringLiteral(".json");
    QFile file(configFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(config).toJson()) < 0)
        BenchLoop::fail(QStringLiteral("cannot write %1").arg(configFile));
    file.close();
    // A benchmark that gives up takes its broker, and with it the broker's VMs, along.
    BenchLoop::addCleanup(this, [this]() { stop(); });
    m_process.setProcessEnvironment(environment);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(program, {QStringLiteral("--config"), configFile, QStringLiteral("--port"), QStringLiteral("0"),
                              QStringLiteral("--state-dir"), prefix + QStringLiteral("-state"), QStringLiteral("--log"),
                              prefix + QStringLiteral(".log")});
    QByteArray output;
    if (!BenchLoop::waitFor(
            [&]() {
                output += m_process.readAllStandardOutput();
                return output.contains('\n') || m_process.state() == QProcess::NotRunning;
            },
            30000)
        || !output.startsWith("Listening on port "))
        BenchLoop::fail(QStringLiteral("the demo broker did not start: %1").arg(QString::fromUtf8(output)));
    m_port = static_cast<quint16>(output.mid(18).trimmed().toUInt());
}

BenchBroker::~BenchBroker()
{
    BenchLoop::removeCleanup(this);
    stop();
}

void BenchBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(15000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

ZELConnectionParameters BenchBroker::connectionParameters() const
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_port);
    parameters.setUsername(QStringLiteral("demo"));
    parameters.setPassword(QStringLiteral("demo"));
    return parameters;
}

void BenchBroker::signal(int number)
{
    ::kill(static_cast<pid_t>(m_process.processId()), number);
}
