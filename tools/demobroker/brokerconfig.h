#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// Users, virtual machines and provoked answers of the demo broker. Read once from a JSON file
// (or the built-in text); VM states change while the broker runs.
class BrokerConfig
{
public:
    // A canned answer that replaces the normal one for a request path.
    struct Override
    {
        int status = 0;
        QByteArray reason;      // empty: the usual phrase for the status
        bool hasBody = false;   // false: the usual body of that status
        QByteArray body;
        QByteArray contentType; // empty: text/plain
    };

    struct User
    {
        QString name;
        QString password;
        QString secondFactor;    // appended to the password by the client; empty: none asked
        // Second factors that each open one connection only (as one-time codes do); a login on
        // another connection with a code already used is refused.
        QStringList oneTimeCodes;
        bool allVms = true;      // no "vms" list: every VM
        QList<int> vms;
        QHash<QString, Override> overrides;
    };

    enum class SlaveKeyMode { Random, Fixed, None };

    struct Vm
    {
        int id = 0;
        QString name;
        QString state;           // "stopped", "starting", "running" (any text is served as is)
        bool blocked = false;
        QString host;            // empty: no display endpoint
        quint16 port = 0;
        SlaveKeyMode slaveKeyMode = SlaveKeyMode::Random;
        QByteArray slaveKey;
        int processingResponses = 0;
        int processingIntervalMs = 0;
        // "nxagent" given: every connection starts a VM of its own (an NX agent with the demo
        // slave service and a desktop program) instead of relaying to a fixed endpoint.
        bool startsAgent = false;
        QString agentProgram;    // empty: nxagent from PATH
        QString desktop;         // command line of the desktop program
        QString slaveService;    // empty: zel-demo-slave-service beside the broker or on PATH
        QString sound;           // command line that plays sound in the VM; empty: none
        int agentStartTimeoutMs = 30000;
        // How long a VM whose tunnel dropped is kept, suspended, for the same user's next
        // connection, which resumes it; 0: the VM ends with its tunnel.
        int resumeSeconds = 0;
    };

    // The configuration used when no file is given: user "demo" with password "demo", one VM.
    static QByteArray builtInJson();

    bool loadJson(const QByteArray &json, QString *error);
    bool loadFile(const QString &path, QString *error);

    const User *user(const QString &name) const;
    Vm *vm(int id);
    // The VMs the user may see, in configuration order.
    QList<Vm *> vmsOf(const User &user);
    // The canned answer for a path: the user's own first, then the global one, else null.
    const Override *overrideFor(const User &user, const QString &path) const;

    // Whether secret (the password with the second factor appended) lets the user in on this
    // connection (a number no other connection has); a one-time code is taken by the first
    // connection that presents it.
    bool authenticate(const User &user, const QString &secret, quint64 connection);

private:
    QList<User> m_users;
    QList<Vm> m_vms;
    QHash<QString, Override> m_overrides;
    // "user:code" of each one-time code used, and the connection that used it.
    QHash<QString, quint64> m_usedCodes;
};
