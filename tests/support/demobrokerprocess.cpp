#include "demobrokerprocess.h"

#include "programrun.h"
#include "testenvironment.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>

DemoBrokerProcess::DemoBrokerProcess() = default;

DemoBrokerProcess::~DemoBrokerProcess()
{
    stop();
}

QString DemoBrokerProcess::program()
{
    return QStringLiteral(ZEL_DEMO_BROKER_PROGRAM);
}

QJsonObject DemoBrokerProcess::user(const QString &name, const QJsonObject &settings)
{
    QJsonObject user = settings;
    user[QStringLiteral("name")] = name;
    user[QStringLiteral("password")] = QStringLiteral("demo");
    return user;
}

QJsonObject DemoBrokerProcess::simpleConfig(const QString &endpoint)
{
    return QJsonObject{
        {QStringLiteral("processingResponses"), 1},
        {QStringLiteral("processingIntervalMs"), 50},
        {QStringLiteral("users"), QJsonArray{user(QStringLiteral("demo"))}},
        {QStringLiteral("vms"), QJsonArray{QJsonObject{{QStringLiteral("id"), 1},
                                                       {QStringLiteral("name"), QStringLiteral("Demo desktop")},
                                                       {QStringLiteral("state"), QStringLiteral("running")},
                                                       {QStringLiteral("endpoint"), endpoint}}}},
    };
}

QJsonObject DemoBrokerProcess::agentVmConfig(const QString &state, const QString &desktop)
{
    QJsonObject config = simpleConfig();
    config[QStringLiteral("vms")] = QJsonArray{QJsonObject{
        {QStringLiteral("id"), 3},
        {QStringLiteral("name"), QStringLiteral("Desktop")},
        {QStringLiteral("state"), state},
        {QStringLiteral("nxagent"), QJsonObject{{QStringLiteral("desktop"), desktop}}}}};
    return config;
}

bool DemoBrokerProcess::start(const QJsonObject &config, const QStringList &extraArguments)
{
    const QString configPath = m_stateDir.filePath(QStringLiteral("broker.json"));
    QFile file(configPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(config).toJson()) < 0) {
        m_errorText = QStringLiteral("cannot write ") + configPath;
        return false;
    }
    file.close();

    m_process.start(program(), QStringList{QStringLiteral("--config"), configPath, QStringLiteral("--port"),
                                           QStringLiteral("0"), QStringLiteral("--state-dir"), m_stateDir.path(),
                                           QStringLiteral("--log"), m_stateDir.filePath(QStringLiteral("broker.log"))}
                                   + extraArguments);
    QDeadlineTimer deadline(TestEnvironment::timeout(30000));
    QByteArray output;
    while (!deadline.hasExpired() && m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
        output += m_process.readAllStandardOutput();
        const int at = output.indexOf("Listening on port ");
        const int end = output.indexOf('\n', at);
        if (at >= 0 && end > at) {
            m_port = static_cast<quint16>(output.mid(at + 18, end - at - 18).trimmed().toUInt());
            return m_port != 0;
        }
    }
    m_errorText = QString::fromUtf8(output + m_process.readAllStandardError());
    return false;
}

bool DemoBrokerProcess::cutTunnels(bool stall)
{
    const qint64 pid = m_process.processId();
    return pid > 0 && ::kill(static_cast<pid_t>(pid), stall ? SIGUSR2 : SIGUSR1) == 0;
}

void DemoBrokerProcess::stop()
{
    // The broker ends its VMs first, which takes a while.
    ProcessGuard::end(m_process, 10000);
}

QString DemoBrokerProcess::log() const
{
    QFile file(m_stateDir.filePath(QStringLiteral("broker.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

ZELConnectionParameters DemoBrokerProcess::connectionParameters(const QString &user) const
{
    ZELConnectionParameters parameters;
    parameters.setHost(QStringLiteral("127.0.0.1"));
    parameters.setPort(m_port);
    parameters.setUsername(user);
    parameters.setPassword(QStringLiteral("demo"));
    parameters.setKeyboard(QStringLiteral("pc105/us"));
    return parameters;
}
