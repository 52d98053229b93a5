#include "brokerconfig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>

namespace {

const int DefaultProcessingResponses = 2;
const int DefaultProcessingIntervalMs = 500;

// Compares without stopping at the first difference, so that timing tells nothing of a password.
bool sameSecret(const QString &a, const QString &b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    unsigned char difference = x.size() == y.size() ? 0 : 1;
    for (int i = 0; i < x.size(); ++i)
        difference |= static_cast<unsigned char>(x.at(i) ^ (y.isEmpty() ? 0 : y.at(i % y.size())));
    return difference == 0;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool checkKeys(const QJsonObject &object, const QStringList &known, const QString &where, QString *error)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            return fail(error, QStringLiteral("%1: unknown key \"%2\" (known: %3)")
                                   .arg(where, it.key(), known.join(QStringLiteral(", "))));
    }
    return true;
}

bool readString(const QJsonObject &object, const QString &key, const QString &where, QString *value,
                QString *error, bool required = false)
{
    const QJsonValue v = object.value(key);
    if (v.isUndefined()) {
        if (required)
            return fail(error, QStringLiteral("%1: \"%2\" is required").arg(where, key));
        return true;
    }
    if (!v.isString())
        return fail(error, QStringLiteral("%1: \"%2\" must be a string").arg(where, key));
    *value = v.toString();
    return true;
}

bool readInt(const QJsonObject &object, const QString &key, const QString &where, int minimum, int maximum,
             int *value, QString *error, bool required = false)
{
    const QJsonValue v = object.value(key);
    if (v.isUndefined()) {
        if (required)
            return fail(error, QStringLiteral("%1: \"%2\" is required").arg(where, key));
        return true;
    }
    const double d = v.toDouble(-1.0e300);
    if (!v.isDouble() || d != static_cast<double>(static_cast<qint64>(d)) || d < minimum || d > maximum)
        return fail(error, QStringLiteral("%1: \"%2\" must be a whole number from %3 to %4")
                               .arg(where, key).arg(minimum).arg(maximum));
    *value = static_cast<int>(d);
    return true;
}

bool readOverrides(const QJsonObject &object, const QString &where, QHash<QString, BrokerConfig::Override> *out,
                   QString *error)
{
    const QJsonValue v = object.value(QStringLiteral("statusOverrides"));
    if (v.isUndefined())
        return true;
    const QString here = where + QStringLiteral(".statusOverrides");
    if (!v.isObject())
        return fail(error, QStringLiteral("%1 must be an object of path: status").arg(here));
    const QJsonObject map = v.toObject();
    for (auto it = map.begin(); it != map.end(); ++it) {
        const QString path = it.key();
        const QString entry = QStringLiteral("%1[\"%2\"]").arg(here, path);
        if (!path.startsWith(QLatin1Char('/')))
            return fail(error, QStringLiteral("%1: a path starts with \"/\"").arg(entry));
        BrokerConfig::Override o;
        if (it.value().isDouble()) {
            QJsonObject wrapped;
            wrapped.insert(QStringLiteral("status"), it.value());
            if (!readInt(wrapped, QStringLiteral("status"), entry, 100, 599, &o.status, error, true))
                return false;
        } else if (it.value().isObject()) {
            const QJsonObject details = it.value().toObject();
            if (!checkKeys(details, {QStringLiteral("status"), QStringLiteral("reason"), QStringLiteral("body"),
                                     QStringLiteral("contentType")},
                           entry, error)
                || !readInt(details, QStringLiteral("status"), entry, 100, 599, &o.status, error, true))
                return false;
            QString reason, body, contentType;
            if (!readString(details, QStringLiteral("reason"), entry, &reason, error)
                || !readString(details, QStringLiteral("body"), entry, &body, error)
                || !readString(details, QStringLiteral("contentType"), entry, &contentType, error))
                return false;
            for (const QString &text : {reason, contentType}) {
                for (const QChar c : text) {
                    if (c.unicode() < 0x20 || c.unicode() >= 0x7f)
                        return fail(error, QStringLiteral("%1: reason and contentType are printable ASCII").arg(entry));
                }
            }
            o.reason = reason.toLatin1();
            o.contentType = contentType.toLatin1();
            o.hasBody = details.contains(QStringLiteral("body"));
            o.body = body.toUtf8();
        } else {
            return fail(error, QStringLiteral("%1 must be a status number or an object").arg(entry));
        }
        out->insert(path, o);
    }
    return true;
}

bool parseEndpoint(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString h = text.left(colon);
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    bool ok = false;
    const uint p = text.midRef(colon + 1).toUInt(&ok);
    if (!ok || p == 0 || p > 65535 || h.isEmpty())
        return false;
    *host = h;
    *port = static_cast<quint16>(p);
    return true;
}

} // namespace

QByteArray BrokerConfig::builtInJson()
{
    return QByteArrayLiteral(R"({
    "processingResponses": 2,
    "processingIntervalMs": 500,
    "users": [
        { "name": "demo", "password": "demo" }
    ],
    "vms": [
        { "id": 1, "name": "Demo desktop", "state": "stopped", "blocked": false,
          "nxagent": { "desktop": "xlogo", "resumeSeconds": 300 } }
    ]
}
)");
}

bool BrokerConfig::loadFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("%1: %2").arg(path, file.errorString()));
    QString why;
    if (!loadJson(file.readAll(), &why))
        return fail(error, QStringLiteral("%1: %2").arg(path, why));
    return true;
}

bool BrokerConfig::loadJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("not valid JSON at offset %1: %2")
                               .arg(parseError.offset).arg(parseError.errorString()));
    if (!document.isObject())
        return fail(error, QStringLiteral("the top level must be a JSON object"));
    const QJsonObject root = document.object();
    const QString top = QStringLiteral("config");
    if (!checkKeys(root, {QStringLiteral("processingResponses"), QStringLiteral("processingIntervalMs"),
                          QStringLiteral("statusOverrides"), QStringLiteral("users"), QStringLiteral("vms")},
                   top, error))
        return false;

    int processing = DefaultProcessingResponses;
    int interval = DefaultProcessingIntervalMs;
    QHash<QString, Override> overrides;
    if (!readInt(root, QStringLiteral("processingResponses"), top, 0, 1000, &processing, error)
        || !readInt(root, QStringLiteral("processingIntervalMs"), top, 0, 600000, &interval, error)
        || !readOverrides(root, top, &overrides, error))
        return false;

    QList<Vm> vms;
    QSet<int> vmIds;
    const QJsonArray vmArray = root.value(QStringLiteral("vms")).toArray();
    if (root.contains(QStringLiteral("vms")) && !root.value(QStringLiteral("vms")).isArray())
        return fail(error, QStringLiteral("config: \"vms\" must be an array"));
    for (int i = 0; i < vmArray.size(); ++i) {
        const QString where = QStringLiteral("vms[%1]").arg(i);
        if (!vmArray.at(i).isObject())
            return fail(error, QStringLiteral("%1 must be an object").arg(where));
        const QJsonObject o = vmArray.at(i).toObject();
        if (!checkKeys(o, {QStringLiteral("id"), QStringLiteral("name"), QStringLiteral("state"),
                           QStringLiteral("blocked"), QStringLiteral("endpoint"), QStringLiteral("slaveKey"),
                           QStringLiteral("processingResponses"), QStringLiteral("processingIntervalMs"),
                           QStringLiteral("nxagent")},
                       where, error))
            return false;
        Vm vm;
        vm.state = QStringLiteral("stopped");
        vm.processingResponses = processing;
        vm.processingIntervalMs = interval;
        QString endpoint;
        if (!readInt(o, QStringLiteral("id"), where, 0, 2147483647, &vm.id, error, true)
            || !readString(o, QStringLiteral("name"), where, &vm.name, error, true)
            || !readString(o, QStringLiteral("state"), where, &vm.state, error)
            || !readString(o, QStringLiteral("endpoint"), where, &endpoint, error)
            || !readInt(o, QStringLiteral("processingResponses"), where, 0, 1000, &vm.processingResponses, error)
            || !readInt(o, QStringLiteral("processingIntervalMs"), where, 0, 600000, &vm.processingIntervalMs,
                        error))
            return false;
        if (vmIds.contains(vm.id))
            return fail(error, QStringLiteral("%1: id %2 is used twice").arg(where).arg(vm.id));
        vmIds.insert(vm.id);
        if (o.contains(QStringLiteral("blocked"))) {
            if (!o.value(QStringLiteral("blocked")).isBool())
                return fail(error, QStringLiteral("%1: \"blocked\" must be true or false").arg(where));
            vm.blocked = o.value(QStringLiteral("blocked")).toBool();
        }
        if (!endpoint.isEmpty() && !parseEndpoint(endpoint, &vm.host, &vm.port))
            return fail(error, QStringLiteral("%1: \"endpoint\" must be host:port").arg(where));
        if (o.contains(QStringLiteral("nxagent"))) {
            const QString here = where + QStringLiteral(".nxagent");
            if (!o.value(QStringLiteral("nxagent")).isObject())
                return fail(error, QStringLiteral("%1 must be an object").arg(here));
            if (!endpoint.isEmpty())
                return fail(error, QStringLiteral("%1: a VM has either an \"endpoint\" or \"nxagent\"").arg(where));
            const QJsonObject agent = o.value(QStringLiteral("nxagent")).toObject();
            if (!checkKeys(agent, {QStringLiteral("program"), QStringLiteral("desktop"), QStringLiteral("slaveService"),
                                   QStringLiteral("sound"), QStringLiteral("startTimeoutMs"),
                                   QStringLiteral("resumeSeconds")},
                           here, error))
                return false;
            vm.startsAgent = true;
            vm.desktop = QStringLiteral("xlogo");
            if (!readString(agent, QStringLiteral("program"), here, &vm.agentProgram, error)
                || !readString(agent, QStringLiteral("desktop"), here, &vm.desktop, error)
                || !readString(agent, QStringLiteral("slaveService"), here, &vm.slaveService, error)
                || !readString(agent, QStringLiteral("sound"), here, &vm.sound, error)
                || !readInt(agent, QStringLiteral("startTimeoutMs"), here, 1, 600000, &vm.agentStartTimeoutMs, error)
                || !readInt(agent, QStringLiteral("resumeSeconds"), here, 0, 86400, &vm.resumeSeconds, error))
                return false;
        }
        if (o.contains(QStringLiteral("slaveKey"))) {
            const QJsonValue key = o.value(QStringLiteral("slaveKey"));
            if (key.isNull()) {
                vm.slaveKeyMode = SlaveKeyMode::None;
            } else if (key.isString()) {
                vm.slaveKeyMode = SlaveKeyMode::Fixed;
                vm.slaveKey = key.toString().toUtf8();
                for (const char c : vm.slaveKey) {
                    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
                        return fail(error, QStringLiteral("%1: \"slaveKey\" must be printable ASCII without blanks")
                                               .arg(where));
                }
            } else {
                return fail(error, QStringLiteral("%1: \"slaveKey\" must be a string or null").arg(where));
            }
        }
        vms.append(vm);
    }

    QList<User> users;
    QSet<QString> names;
    if (!root.value(QStringLiteral("users")).isArray())
        return fail(error, QStringLiteral("config: \"users\" must be an array"));
    const QJsonArray userArray = root.value(QStringLiteral("users")).toArray();
    for (int i = 0; i < userArray.size(); ++i) {
        const QString where = QStringLiteral("users[%1]").arg(i);
        if (!userArray.at(i).isObject())
            return fail(error, QStringLiteral("%1 must be an object").arg(where));
        const QJsonObject o = userArray.at(i).toObject();
        if (!checkKeys(o, {QStringLiteral("name"), QStringLiteral("password"), QStringLiteral("secondFactor"),
                           QStringLiteral("oneTimeCodes"), QStringLiteral("vms"), QStringLiteral("statusOverrides")},
                       where, error))
            return false;
        User user;
        if (!readString(o, QStringLiteral("name"), where, &user.name, error, true)
            || !readString(o, QStringLiteral("password"), where, &user.password, error, true)
            || !readString(o, QStringLiteral("secondFactor"), where, &user.secondFactor, error)
            || !readOverrides(o, where, &user.overrides, error))
            return false;
        if (o.contains(QStringLiteral("oneTimeCodes"))) {
            const QJsonValue codes = o.value(QStringLiteral("oneTimeCodes"));
            if (!codes.isArray() || !user.secondFactor.isEmpty())
                return fail(error, QStringLiteral("%1: \"oneTimeCodes\" is an array of texts, instead of \"secondFactor\"")
                                       .arg(where));
            for (const QJsonValue &code : codes.toArray()) {
                if (!code.isString() || code.toString().isEmpty())
                    return fail(error, QStringLiteral("%1: \"oneTimeCodes\" holds non-empty texts").arg(where));
                user.oneTimeCodes.append(code.toString());
            }
        }
        if (user.name.isEmpty() || user.name.contains(QLatin1Char(':')))
            return fail(error, QStringLiteral("%1: \"name\" must be non-empty and without \":\"").arg(where));
        if (names.contains(user.name))
            return fail(error, QStringLiteral("%1: user \"%2\" is listed twice").arg(where, user.name));
        names.insert(user.name);
        if (o.contains(QStringLiteral("vms"))) {
            if (!o.value(QStringLiteral("vms")).isArray())
                return fail(error, QStringLiteral("%1: \"vms\" must be an array of VM ids").arg(where));
            user.allVms = false;
            for (const QJsonValue &id : o.value(QStringLiteral("vms")).toArray()) {
                if (!id.isDouble() || !vmIds.contains(id.toInt(-1)))
                    return fail(error, QStringLiteral("%1: \"vms\" names a VM id that is not configured").arg(where));
                user.vms.append(id.toInt());
            }
        }
        users.append(user);
    }

    m_users = users;
    m_vms = vms;
    m_overrides = overrides;
    return true;
}

bool BrokerConfig::authenticate(const User &user, const QString &secret, quint64 connection)
{
    if (user.oneTimeCodes.isEmpty())
        return sameSecret(secret, user.password + user.secondFactor);
    // Every code is compared, so that timing tells nothing of which one matched.
    QString matched;
    for (const QString &code : user.oneTimeCodes) {
        if (sameSecret(secret, user.password + code))
            matched = code;
    }
    if (matched.isEmpty())
        return false;
    const QString key = user.name + QLatin1Char(':') + matched;
    const auto used = m_usedCodes.constFind(key);
    if (used != m_usedCodes.constEnd())
        return used.value() == connection;
    m_usedCodes.insert(key, connection);
    return true;
}

const BrokerConfig::User *BrokerConfig::user(const QString &name) const
{
    for (const User &user : m_users) {
        if (user.name == name)
            return &user;
    }
    return nullptr;
}

BrokerConfig::Vm *BrokerConfig::vm(int id)
{
    for (Vm &vm : m_vms) {
        if (vm.id == id)
            return &vm;
    }
    return nullptr;
}

QList<BrokerConfig::Vm *> BrokerConfig::vmsOf(const User &user)
{
    QList<Vm *> result;
    for (Vm &vm : m_vms) {
        if (user.allVms || user.vms.contains(vm.id))
            result.append(&vm);
    }
    return result;
}

const BrokerConfig::Override *BrokerConfig::overrideFor(const User &user, const QString &path) const
{
    auto own = user.overrides.constFind(path);
    if (own != user.overrides.constEnd())
        return &own.value();
    auto global = m_overrides.constFind(path);
    if (global != m_overrides.constEnd())
        return &global.value();
    return nullptr;
}
