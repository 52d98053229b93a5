#include "commandlineparser.h"

#include <QDebug>

namespace {

struct OptionSpec {
    const char *name;
    const char *valueName;
    const char *description;
};

// Registered in this order; the help text lists them the same way.
const OptionSpec optionSpecs[] = {
    {"user", "username", QT_TRANSLATE_NOOP("CommandLineParser", "Login username.")},
    {"password", "password",
     QT_TRANSLATE_NOOP("CommandLineParser",
                       "Login password. Other users of the machine can read a command line: prefer "
                       "--password-stdin.")},
    {"password-stdin", nullptr,
     QT_TRANSLATE_NOOP("CommandLineParser", "Read the login password from the first line of standard input.")},
    {"token", "token",
     QT_TRANSLATE_NOOP("CommandLineParser", "Not supported: the client logs in with a user name and a password.")},
    {"host", "host", QT_TRANSLATE_NOOP("CommandLineParser", "Server to connect to.")},
    {"port", "port", QT_TRANSLATE_NOOP("CommandLineParser", "Port ZEL is running on (1 to 65535).")},
    {"file", "file", QT_TRANSLATE_NOOP("CommandLineParser", "Open file in VM.")},
    {"ssl", "ssl", QT_TRANSLATE_NOOP("CommandLineParser", "Enable or disable the use of SSL. Default True.")},
    {"ssl-errors", "ssl-errors",
     QT_TRANSLATE_NOOP("CommandLineParser",
                       "What to do in case of SSL errors. Valid values are: 'ask', 'continue' and 'abort'.")},
    {"list-vms", nullptr,
     QT_TRANSLATE_NOOP("CommandLineParser",
                       "List VMs, and exit. Without a password given, the one remembered for this server and "
                       "user is used.")},
    {"list-apps", nullptr, QT_TRANSLATE_NOOP("CommandLineParser", "List applications, and exit.")},
    {"no-header", nullptr,
     QT_TRANSLATE_NOOP("CommandLineParser", "Don't show the header for --list-vms and --list-apps.")},
    {"json", nullptr, QT_TRANSLATE_NOOP("CommandLineParser", "Use JSON to dump the --list-vms and --list-apps data.")},
    {"connection-type", "type", QT_TRANSLATE_NOOP("CommandLineParser", "Type of connection to use: ")},
    {"experimental", nullptr, QT_TRANSLATE_NOOP("CommandLineParser", "Enable experimental features")},
    {"verbose", nullptr,
     QT_TRANSLATE_NOOP("CommandLineParser",
                       "Write the log to standard error as well (also with ZEL_DEBUG=1); it always goes to "
                       "client.log.")},
    {"dialog", "dialog type", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - type")},
    {"caption", "caption", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - caption")},
    {"window", "window", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - window ID")},
    {"message", "message", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - message")},
    {"local", "0 or 1", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - Proxy mode is used (ignored)")},
    {"parent", "pid", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - nagent's PID")},
    {"display", "display", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - X11 display")},
};

const char connectionTypeList[] = "modem, isdn, adsl, wan, lan";

// The listing's switches once took a value; scripts written then still work.
const QStringList listingSwitches = {QStringLiteral("list-vms"), QStringLiteral("list-apps"),
                                     QStringLiteral("no-header"), QStringLiteral("json")};
const QStringList switchOnWords = {QStringLiteral("1"), QStringLiteral("yes"), QStringLiteral("true")};
const QStringList switchOffWords = {QStringLiteral("0"), QStringLiteral("no"), QStringLiteral("false")};

// The option an argument names ("--json=1" and "-json" name json), or nothing.
QString optionName(const QString &argument)
{
    if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-") || argument == QLatin1String("--"))
        return QString();
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    return name.left(name.indexOf(QLatin1Char('=')));
}

} // namespace

CommandLineParser::CommandLineParser()
{
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

CommandLineParser &CommandLineParser::instance()
{
    static CommandLineParser parser;
    return parser;
}

void CommandLineParser::registerOptions()
{
    if (m_optionsRegistered)
        return;
    m_optionsRegistered = true;

    for (const OptionSpec &spec : optionSpecs) {
        QString description = tr(spec.description);
        if (qstrcmp(spec.name, "connection-type") == 0)
            description += QLatin1String(connectionTypeList);
        const QString valueName = spec.valueName ? QString::fromLatin1(spec.valueName) : QString();
        m_parser.addOption(QCommandLineOption(QString::fromLatin1(spec.name), description, valueName));
        if (spec.valueName)
            m_valueOptionNames << QString::fromLatin1(spec.name);
    }
    m_optionNames << m_parser.addHelpOption().names() << m_parser.addVersionOption().names()
                  << QStringLiteral("help-all");
    for (const OptionSpec &spec : optionSpecs)
        m_optionNames << QString::fromLatin1(spec.name);
}

QStringList CommandLineParser::normalizedArguments(const QStringList &arguments, QString *error)
{
    QStringList normalized;
    normalized.reserve(arguments.size());
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const QString name = i > 0 ? optionName(argument) : QString();
        const bool valueFollows = i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'));
        if (name == QLatin1String("local") && !argument.contains(QLatin1Char('=')) && !valueFollows) {
            normalized << QStringLiteral("--local=1");
            continue;
        }
        if (!listingSwitches.contains(name)) {
            normalized << argument;
            continue;
        }
        QString word;
        const int equals = argument.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            word = argument.mid(equals + 1).trimmed().toLower();
            if (!switchOnWords.contains(word) && !switchOffWords.contains(word)) {
                if (error && error->isEmpty()) {
                    *error = tr("--%1 is a switch: it takes no value but 1/0, yes/no or true/false, not '%2'.\n")
                                 .arg(name, argument.mid(equals + 1));
                }
                continue;
            }
        } else if (i + 1 < arguments.size()) {
            const QString next = arguments.at(i + 1).trimmed().toLower();
            if (switchOnWords.contains(next) || switchOffWords.contains(next)) {
                word = next;
                ++i;
            }
        }
        if (!switchOffWords.contains(word))
            normalized << QStringLiteral("--") + name;
    }
    return normalized;
}

CommandLineParser::Result CommandLineParser::parse(ZELConnectionParameters &parameters, NXErrorCommandData &nx,
                                                   MiscParameters &misc)
{
    return parse(QCoreApplication::arguments(), parameters, nx, misc);
}

bool CommandLineParser::fail(const QString &text)
{
    m_errorText = text;
    return false;
}

CommandLineParser::Result CommandLineParser::parse(const QStringList &arguments, ZELConnectionParameters &parameters,
                                                   NXErrorCommandData &nx, MiscParameters &misc)
{
    registerOptions();
    m_errorText.clear();
    m_warnings.clear();

    QString normalizeError;
    const QStringList normalized = normalizedArguments(arguments, &normalizeError);
    // Asked for whatever else the command line holds, errors included.
    misc.verbose = normalized.contains(QStringLiteral("--verbose")) || normalized.contains(QStringLiteral("-verbose"));
    if (!m_parser.parse(normalized)) {
        m_errorText = m_parser.errorText() + QLatin1Char('\n');
        return Error;
    }
    if (m_parser.isSet(QStringLiteral("version")))
        return VersionRequested;
    if (m_parser.isSet(QStringLiteral("help")))
        return HelpRequested;
    if (!normalizeError.isEmpty()) {
        m_errorText = normalizeError;
        return Error;
    }
    if (!checkValues())
        return Error;

    if (m_parser.isSet(QStringLiteral("experimental"))) {
        qDebug() << "Experimental features enabled";
        misc.experimental = true;
    }
    if (!applyConnectionOptions(parameters, misc))
        return Error;
    misc.portGiven = m_parser.isSet(QStringLiteral("port"));
    misc.connectionTypeGiven = m_parser.isSet(QStringLiteral("connection-type"));
    if (!applyListingOptions(misc))
        return Error;
    if (!applyConnectionType(parameters))
        return Error;
    if (!applyDialogOptions(nx))
        return Error;
    return Ok;
}

bool CommandLineParser::checkValues()
{
    // "--user --host h": the user name forgotten, the next option taken for it.
    for (const QString &name : qAsConst(m_valueOptionNames)) {
        const QStringList values = m_parser.values(name);
        for (const QString &value : values) {
            const QString named = optionName(value);
            if (!named.isEmpty() && m_optionNames.contains(named))
                return fail(tr("--%1 needs a value, but the option --%2 follows it.\n").arg(name, named));
        }
    }
    const QStringList unexpected = m_parser.positionalArguments();
    if (!unexpected.isEmpty())
        return fail(tr("Unexpected argument '%1': every value follows the option it belongs to.\n").arg(unexpected.first()));
    if (m_parser.isSet(QStringLiteral("password")) && m_parser.isSet(QStringLiteral("password-stdin")))
        return fail(tr("Give the password with --password or with --password-stdin, not with both.\n"));
    return true;
}

bool CommandLineParser::applyConnectionOptions(ZELConnectionParameters &parameters, MiscParameters &misc)
{
    if (m_parser.isSet(QStringLiteral("user")))
        parameters.setUsername(m_parser.value(QStringLiteral("user")));
    if (m_parser.isSet(QStringLiteral("password")))
        parameters.setPassword(m_parser.value(QStringLiteral("password")));
    misc.passwordFromStandardInput = m_parser.isSet(QStringLiteral("password-stdin"));
    misc.passwordGiven = m_parser.isSet(QStringLiteral("password")) || misc.passwordFromStandardInput;
    if (m_parser.isSet(QStringLiteral("token"))) {
        // Nothing sends a token to the broker: saying so beats a login that fails unexplained.
        parameters.setToken(m_parser.value(QStringLiteral("token")));
        m_warnings << tr("--token is not supported and is not sent: log in with --user and a password.");
    }
    if (m_parser.isSet(QStringLiteral("host")))
        parameters.setHost(m_parser.value(QStringLiteral("host")));
    if (m_parser.isSet(QStringLiteral("port"))) {
        const QString text = m_parser.value(QStringLiteral("port"));
        bool isNumber = false;
        const uint port = text.trimmed().toUInt(&isNumber, 10);
        if (!isNumber || port < 1 || port > 65535)
            return fail(tr("--port must be a number from 1 to 65535, not '%1'.\n").arg(text));
        parameters.setPort(static_cast<unsigned short>(port));
    }
    return true;
}

bool CommandLineParser::applyListingOptions(MiscParameters &misc)
{
    misc.listVms = m_parser.isSet(QStringLiteral("list-vms"));
    misc.noHeader = m_parser.isSet(QStringLiteral("no-header"));
    misc.json = m_parser.isSet(QStringLiteral("json"));
    if (!m_parser.isSet(QStringLiteral("ssl-errors")))
        return true;

    misc.sslErrors = m_parser.value(QStringLiteral("ssl-errors")).trimmed().toLower();
    static const QStringList policies = {QStringLiteral("ask"), QStringLiteral("continue"), QStringLiteral("abort")};
    if (policies.contains(misc.sslErrors))
        return true;
    return fail(tr("Unknown value '%1' for --ssl-errors: use ask, continue or abort.\n")
                    .arg(m_parser.value(QStringLiteral("ssl-errors"))));
}

bool CommandLineParser::applyConnectionType(ZELConnectionParameters &parameters)
{
    if (!m_parser.isSet(QStringLiteral("connection-type")))
        return true;

    static const QStringList names = {QStringLiteral("modem"), QStringLiteral("isdn"), QStringLiteral("adsl"),
                                      QStringLiteral("wan"), QStringLiteral("lan")};
    const QString text = m_parser.value(QStringLiteral("connection-type"));
    const int speed = names.indexOf(text.trimmed().toLower());
    if (speed < 0)
        return fail(tr("Unknown connection type '%1': use %2.\n").arg(text, QLatin1String(connectionTypeList)));
    parameters.setConnectionSpeed(static_cast<ZELConnectionParameters::ConnectionSpeed>(speed));
    return true;
}

bool CommandLineParser::applyDialogOptions(NXErrorCommandData &nx)
{
    if (m_parser.isSet(QStringLiteral("dialog")) && !nx.setTypeFromQString(m_parser.value(QStringLiteral("dialog"))))
        return fail(tr("Unknown dialog type '%1'.\n").arg(m_parser.value(QStringLiteral("dialog"))));

    if (m_parser.isSet(QStringLiteral("caption")))
        nx.caption = m_parser.value(QStringLiteral("caption"));
    if (m_parser.isSet(QStringLiteral("window")))
        nx.window = m_parser.value(QStringLiteral("window"));
    if (m_parser.isSet(QStringLiteral("message")))
        nx.message = m_parser.value(QStringLiteral("message"));
    if (m_parser.isSet(QStringLiteral("local")))
        nx.local = m_parser.value(QStringLiteral("local")) == QLatin1String("1");
    if (m_parser.isSet(QStringLiteral("parent")))
        nx.pid = m_parser.value(QStringLiteral("parent")).toInt(nullptr, 10);
    if (m_parser.isSet(QStringLiteral("display")))
        nx.display = m_parser.value(QStringLiteral("display"));
    return true;
}
