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
    {"password", "password", QT_TRANSLATE_NOOP("CommandLineParser", "Login password.")},
    {"token", "token", QT_TRANSLATE_NOOP("CommandLineParser", "Login bearer token (used instead of password).")},
    {"host", "host", QT_TRANSLATE_NOOP("CommandLineParser", "Server to connect to.")},
    {"port", "port", QT_TRANSLATE_NOOP("CommandLineParser", "Port ZEL is running on.")},
    {"file", "file", QT_TRANSLATE_NOOP("CommandLineParser", "Open file in VM.")},
    {"ssl", "ssl", QT_TRANSLATE_NOOP("CommandLineParser", "Enable or disable the use of SSL. Default True.")},
    {"ssl-errors", "ssl-errors",
     QT_TRANSLATE_NOOP("CommandLineParser",
                       "What to do in case of SSL errors. Valid values are: 'ask', 'continue' and 'abort'.")},
    {"list-vms", "list-vms", QT_TRANSLATE_NOOP("CommandLineParser", "List VMs, and exit.")},
    {"list-apps", "list-apps", QT_TRANSLATE_NOOP("CommandLineParser", "List applications, and exit.")},
    {"no-header", "no-header",
     QT_TRANSLATE_NOOP("CommandLineParser", "Don't show the header for --list-vms and --list-apps.")},
    {"json", "json", QT_TRANSLATE_NOOP("CommandLineParser", "Use JSON to dump the --list-vms and --list-apps data.")},
    {"connection-type", "type", QT_TRANSLATE_NOOP("CommandLineParser", "Type of connection to use: ")},
    {"experimental", nullptr, QT_TRANSLATE_NOOP("CommandLineParser", "Enable experimental features")},
    {"dialog", "dialog type", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - type")},
    {"caption", "caption", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - caption")},
    {"window", "window", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - window ID")},
    {"message", "message", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - message")},
    {"local", "0 or 1", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - Proxy mode is used (ignored)")},
    {"parent", "pid", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - nagent's PID")},
    {"display", "display", QT_TRANSLATE_NOOP("CommandLineParser", "Dialog - X11 display")},
};

const char connectionTypeList[] = "modem, isdn, adsl, wan, lan";

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
    }
    m_parser.addHelpOption();
    m_parser.addVersionOption();
}

QStringList CommandLineParser::normalizedArguments(const QStringList &arguments)
{
    QStringList normalized;
    normalized.reserve(arguments.size());
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool isBareLocal = i > 0 && (argument == QLatin1String("--local") || argument == QLatin1String("-local"));
        const bool valueFollows = i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'));
        if (isBareLocal && !valueFollows)
            normalized << QStringLiteral("--local=1");
        else
            normalized << argument;
    }
    return normalized;
}

CommandLineParser::Result CommandLineParser::parse(ZELConnectionParameters &parameters, NXErrorCommandData &nx,
                                                   MiscParameters &misc)
{
    return parse(QCoreApplication::arguments(), parameters, nx, misc);
}

CommandLineParser::Result CommandLineParser::parse(const QStringList &arguments, ZELConnectionParameters &parameters,
                                                   NXErrorCommandData &nx, MiscParameters &misc)
{
    registerOptions();
    m_errorText.clear();

    if (!m_parser.parse(normalizedArguments(arguments))) {
        m_errorText = m_parser.errorText();
        return Error;
    }
    if (m_parser.isSet(QStringLiteral("version")))
        return VersionRequested;
    if (m_parser.isSet(QStringLiteral("help")))
        return HelpRequested;

    if (m_parser.isSet(QStringLiteral("experimental"))) {
        qDebug() << "Experimental features enabled";
        misc.experimental = true;
    }

    applyConnectionOptions(parameters);
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

void CommandLineParser::applyConnectionOptions(ZELConnectionParameters &parameters) const
{
    if (m_parser.isSet(QStringLiteral("user")))
        parameters.setUsername(m_parser.value(QStringLiteral("user")));
    if (m_parser.isSet(QStringLiteral("password")))
        parameters.setPassword(m_parser.value(QStringLiteral("password")));
    if (m_parser.isSet(QStringLiteral("token")))
        parameters.setToken(m_parser.value(QStringLiteral("token")));
    if (m_parser.isSet(QStringLiteral("host")))
        parameters.setHost(m_parser.value(QStringLiteral("host")));
    if (m_parser.isSet(QStringLiteral("port"))) {
        // Text that is not a number gives 0; larger numbers keep their low 16 bits.
        const uint port = m_parser.value(QStringLiteral("port")).toUInt(nullptr, 10);
        parameters.setPort(static_cast<unsigned short>(port & 0xffff));
    }
}

bool CommandLineParser::switchValue(const QString &name) const
{
    static const QStringList offValues = {QStringLiteral("0"), QStringLiteral("false"), QStringLiteral("no"),
                                          QStringLiteral("off")};
    return m_parser.isSet(name) && !offValues.contains(m_parser.value(name).trimmed().toLower());
}

bool CommandLineParser::applyListingOptions(MiscParameters &misc)
{
    misc.listVms = switchValue(QStringLiteral("list-vms"));
    misc.noHeader = switchValue(QStringLiteral("no-header"));
    misc.json = switchValue(QStringLiteral("json"));
    if (!m_parser.isSet(QStringLiteral("ssl-errors")))
        return true;

    misc.sslErrors = m_parser.value(QStringLiteral("ssl-errors")).trimmed().toLower();
    static const QStringList policies = {QStringLiteral("ask"), QStringLiteral("continue"), QStringLiteral("abort")};
    if (policies.contains(misc.sslErrors))
        return true;
    m_errorText = tr("Unknown value '%1' for --ssl-errors: use ask, continue or abort.\n")
                      .arg(m_parser.value(QStringLiteral("ssl-errors")));
    return false;
}

bool CommandLineParser::applyConnectionType(ZELConnectionParameters &parameters) const
{
    if (!m_parser.isSet(QStringLiteral("connection-type")))
        return true;

    static const QStringList names = {QStringLiteral("modem"), QStringLiteral("isdn"), QStringLiteral("adsl"),
                                      QStringLiteral("wan"), QStringLiteral("lan")};
    const int speed = names.indexOf(m_parser.value(QStringLiteral("connection-type")).trimmed().toLower());
    if (speed < 0)
        return false;
    parameters.setConnectionSpeed(static_cast<ZELConnectionParameters::ConnectionSpeed>(speed));
    return true;
}

bool CommandLineParser::applyDialogOptions(NXErrorCommandData &nx) const
{
    if (m_parser.isSet(QStringLiteral("dialog")) && !nx.setTypeFromQString(m_parser.value(QStringLiteral("dialog"))))
        return false;

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
