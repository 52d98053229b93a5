#include "requestchecker.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

bool strictBase64(const QByteArray &text, QByteArray *decoded)
{
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    // Only canonical, padded Base64 is accepted: what decodes must encode back to the same text.
    if (result.decoded.toBase64() != text)
        return false;
    *decoded = result.decoded;
    return true;
}

bool isLowerHex(const QByteArray &text)
{
    if (text.isEmpty() || text.size() % 2 != 0)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool isDecimal(const QString &text, int *value)
{
    static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,9})$"));
    if (!digits.match(text).hasMatch())
        return false;
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v > 2147483647)
        return false;
    *value = static_cast<int>(v);
    return true;
}

struct QueryRule
{
    const char *key;
    enum Kind { Id, Fixed, Flag, Geometry, Keyboard, Link, NonEmpty, Any } kind;
    const char *fixed;
};

// The items of the VM connection request, in the order the client sends them.
const QueryRule ConnectRules[] = {
    {"id", QueryRule::Id, nullptr},
    {"zel.client.type", QueryRule::Fixed, "qt"},
    {"zel.client.keyboard", QueryRule::Keyboard, nullptr},
    {"zel.client.os", QueryRule::NonEmpty, nullptr},
    {"zel.client.nxagent.extra_args", QueryRule::Any, nullptr},
    {"zel.client.geometry", QueryRule::Geometry, nullptr},
    {"zel.client.fullscreen", QueryRule::Flag, nullptr},
    {"zel.client.printing.enabled", QueryRule::Flag, nullptr},
    {"zel.client.usb.enabled", QueryRule::Flag, nullptr},
    {"zel.client.usb.implementation", QueryRule::Fixed, "usbip"},
    {"zel.client.link", QueryRule::Link, nullptr},
    {"zel.client.audio.sound.enable", QueryRule::Flag, nullptr},
    {"zel.client.audio.microphone.enable", QueryRule::Flag, nullptr},
    {"zel.client.audio.compression.enable", QueryRule::Flag, nullptr},
    {"zel.client.timezone", QueryRule::Any, nullptr},
};

const QueryRule StopRules[] = {
    {"id", QueryRule::Id, nullptr},
};

template<size_t N>
QString checkItems(const QList<QPair<QString, QString>> &items, const QueryRule (&rules)[N], int *id)
{
    for (size_t i = 0; i < N; ++i) {
        const QueryRule &rule = rules[i];
        const QString key = QLatin1String(rule.key);
        if (static_cast<int>(i) >= items.size())
            return QStringLiteral("query item %1 \"%2\" is missing").arg(i + 1).arg(key);
        const QPair<QString, QString> &item = items.at(static_cast<int>(i));
        if (item.first != key)
            return QStringLiteral("query item %1 is \"%2\" where \"%3\" belongs").arg(i + 1).arg(item.first, key);
        const QString &value = item.second;
        bool good = true;
        switch (rule.kind) {
        case QueryRule::Id:
            good = isDecimal(value, id);
            break;
        case QueryRule::Fixed:
            good = value == QLatin1String(rule.fixed);
            break;
        case QueryRule::Flag:
            good = value == QLatin1String("0") || value == QLatin1String("1");
            break;
        case QueryRule::Geometry: {
            static const QRegularExpression geometry(QStringLiteral("^[1-9][0-9]{0,5}x[1-9][0-9]{0,5}$"));
            good = geometry.match(value).hasMatch();
            break;
        }
        case QueryRule::Keyboard:
            good = value.count(QLatin1Char('/')) == 1 && !value.startsWith(QLatin1Char('/'));
            break;
        case QueryRule::Link:
            good = QStringList{QStringLiteral("modem"), QStringLiteral("isdn"), QStringLiteral("adsl"),
                               QStringLiteral("wan"), QStringLiteral("lan"), QStringLiteral("local")}
                       .contains(value);
            break;
        case QueryRule::NonEmpty:
            good = !value.isEmpty();
            break;
        case QueryRule::Any:
            break;
        }
        if (!good)
            return QStringLiteral("query item \"%1\" has the value \"%2\", which is not allowed there").arg(key, value);
    }
    if (items.size() > static_cast<int>(N))
        return QStringLiteral("unexpected query item \"%1\"").arg(items.at(static_cast<int>(N)).first);
    return QString();
}

} // namespace

RequestChecker::Endpoint RequestChecker::endpointOf(const QByteArray &path)
{
    if (path == "/zel/list_of_vm")
        return Endpoint::VmList;
    if (path == "/zel/connect_to_vm")
        return Endpoint::ConnectToVm;
    if (path == "/zel/stop_vm")
        return Endpoint::StopVm;
    if (path == "/zel/ping")
        return Endpoint::Ping;
    if (path == "/printer")
        return Endpoint::Printer;
    return Endpoint::Unknown;
}

bool RequestChecker::decodeCredentials(const QByteArray &value, QString *user, QString *secret)
{
    if (!value.startsWith("Basic "))
        return false;
    QByteArray decoded;
    if (!strictBase64(value.mid(6), &decoded))
        return false;
    const int colon = decoded.indexOf(':');
    if (colon < 0)
        return false;
    *user = QString::fromLocal8Bit(decoded.left(colon));
    *secret = QString::fromLocal8Bit(decoded.mid(colon + 1));
    return true;
}

QString RequestChecker::maskedAuthorization(const QByteArray &value)
{
    QString user, secret;
    if (!decodeCredentials(value, &user, &secret))
        return QStringLiteral("<undecodable credentials, not shown>");
    return QStringLiteral("Basic <user \"%1\", password hidden>").arg(BrokerRequest::printable(user.toUtf8()));
}

QString RequestChecker::check(const BrokerRequest &request, Endpoint endpoint, Facts *facts)
{
    const QList<BrokerRequest::Header> headers = request.headers();
    int index = 0;

    if (headers.size() <= index || headers.at(index).name != "Authorization")
        return QStringLiteral("the first header is not Authorization");
    if (!decodeCredentials(headers.at(index).value, &facts->user, &facts->secret))
        return QStringLiteral("Authorization is not \"Basic \" and the Base64 of user:password");
    ++index;

    if (headers.size() <= index || headers.at(index).name != "User-Agent")
        return QStringLiteral("the second header is not User-Agent");
    if (headers.at(index).value.isEmpty())
        return QStringLiteral("User-Agent is empty");
    facts->userAgent = headers.at(index).value;
    ++index;

    while (index < headers.size() && headers.at(index).name.startsWith("Auth-")) {
        const BrokerRequest::Header &header = headers.at(index);
        const QByteArray hex = header.name.mid(5);
        if (!isLowerHex(hex))
            return QStringLiteral("header \"%1\" does not name a variable in lower-case hexadecimal")
                .arg(BrokerRequest::printable(header.name));
        QByteArray value;
        if (!header.value.isEmpty() && !strictBase64(header.value, &value))
            return QStringLiteral("header \"%1\" has a value that is not Base64")
                .arg(BrokerRequest::printable(header.name));
        facts->environment.append(
            qMakePair(QString::fromLatin1(QByteArray::fromHex(hex)), QString::fromUtf8(value)));
        ++index;
    }

    QList<QPair<QByteArray, QByteArray>> own;
    switch (endpoint) {
    case Endpoint::VmList:
        own = {{"Accept", "application/json"}};
        break;
    case Endpoint::ConnectToVm:
    case Endpoint::StopVm:
        own = {{"Connection", "Upgrade"}, {"Upgrade", "ZEL/1.0"}};
        break;
    case Endpoint::Ping:
    case Endpoint::Printer:
    case Endpoint::Unknown:
        break;
    }
    for (const auto &expected : qAsConst(own)) {
        if (index >= headers.size())
            return QStringLiteral("header %1 is missing").arg(QString::fromLatin1(expected.first));
        const BrokerRequest::Header &header = headers.at(index);
        if (header.name != expected.first)
            return QStringLiteral("header \"%1\" where %2 belongs")
                .arg(BrokerRequest::printable(header.name), QString::fromLatin1(expected.first));
        if (header.value != expected.second)
            return QStringLiteral("header %1 is \"%2\", not \"%3\"")
                .arg(QString::fromLatin1(expected.first), BrokerRequest::printable(header.value),
                     QString::fromLatin1(expected.second));
        ++index;
    }
    if (index < headers.size())
        return QStringLiteral("unexpected header \"%1\"").arg(BrokerRequest::printable(headers.at(index).name));

    return checkQuery(request, endpoint, facts);
}

QString RequestChecker::checkQuery(const BrokerRequest &request, Endpoint endpoint, Facts *facts)
{
    switch (endpoint) {
    case Endpoint::ConnectToVm:
        if (!request.hasQuery())
            return QStringLiteral("the VM connection request has no query");
        return checkItems(request.queryItems(), ConnectRules, &facts->vmId);
    case Endpoint::StopVm:
        if (!request.hasQuery())
            return QStringLiteral("the stop request has no query");
        return checkItems(request.queryItems(), StopRules, &facts->vmId);
    case Endpoint::VmList:
    case Endpoint::Ping:
    case Endpoint::Printer:
    case Endpoint::Unknown:
        if (request.hasQuery())
            return QStringLiteral("this request has no query");
        break;
    }
    return QString();
}
