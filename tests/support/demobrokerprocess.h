#pragma once

#include "zelconnectionparameters.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The demo broker program, started for one test with a configuration of the test's own on a
// free port. It is ended when this object goes.
class DemoBrokerProcess
{
public:
    DemoBrokerProcess();
    ~DemoBrokerProcess();

    // Starts the broker and waits until it listens; false (with the broker's output in
    // errorText()) when it does not come up.
    bool start(const QJsonObject &config, const QStringList &extraArguments = {});
    void stop();

    quint16 port() const { return m_port; }
    // Cuts every tunnel as a network would: closed, or stalled (nothing forwarded, nothing
    // closed). The broker logs it; false when it does not run.
    bool cutTunnels(bool stall);
    QString log() const;
    QString errorText() const { return m_errorText; }
    // What a client needs to log in to this broker as the given user, whose password the
    // configurations here set to "demo".
    ZELConnectionParameters connectionParameters(const QString &user) const;

    static QString program();
    // A user whose password is "demo", with the given settings besides (one-time codes, status
    // overrides).
    static QJsonObject user(const QString &name, const QJsonObject &settings = QJsonObject());
    // One user "demo"/"demo" and one VM relayed to the given endpoint.
    static QJsonObject simpleConfig(const QString &endpoint = QStringLiteral("127.0.0.1:1"));
    // The same user and one VM, "Desktop", in the given state, that runs a real nxagent showing
    // the given program as its desktop.
    static QJsonObject agentVmConfig(const QString &state, const QString &desktop);

private:
    QTemporaryDir m_stateDir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_errorText;
};
