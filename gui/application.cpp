#include "application.h"

#include "commandlineparser.h"
#include "configloader.h"
#include "helpers/pathtools.h"
#include "helpers/privatefiles.h"
#include "loghandler.h"
#include "mainwindow.h"
#include "nxdialog.h"
#include "vmlister.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTextStream>
#include <QTranslator>

#include <memory>

namespace {

QString programName()
{
    return QFileInfo(QCoreApplication::arguments().value(0, QStringLiteral("ZEL_Client"))).fileName();
}

int printCommandLineAnswer(CommandLineParser::Result result)
{
    QTextStream out(stdout, QIODevice::WriteOnly);
    const CommandLineParser &parser = CommandLineParser::instance();
    switch (result) {
    case CommandLineParser::Error:
        qWarning().noquote() << "Command line error:" << parser.errorText().trimmed();
        Application::tellUser(parser.errorText().trimmed());
        QTextStream(stderr) << QCoreApplication::translate("Application", "Try '%1 --help' for the options.")
                                   .arg(programName())
                            << '\n';
        qDebug() << "Exit: command line parse error";
        return 1;
    case CommandLineParser::VersionRequested:
        out << QCoreApplication::applicationVersion() << '\n';
        out.flush();
        qDebug() << "Exit: version command";
        return 0;
    case CommandLineParser::HelpRequested:
        out << parser.helpText();
        out.flush();
        qDebug() << "Exit: help command";
        return 0;
    case CommandLineParser::Ok:
        break;
    }
    return -1;
}

// Qt's own texts (standard buttons and the like), when the system has them.
void loadQtTranslation(QApplication &app)
{
    auto *qtTranslator = new QTranslator(&app);
    if (qtTranslator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(qtTranslator);
}

// The X display the program would open: the one named on the command line ("-display" or
// "--display", as the NX software passes it, and as Qt itself reads it), else DISPLAY.
QByteArray requestedDisplay(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "-display") == 0 || qstrcmp(argv[i], "--display") == 0)
            return QByteArray(argv[i + 1]);
    }
    return qgetenv("DISPLAY");
}

} // namespace

// Without a display that answers Qt cannot start its default platform; it would end the whole
// program. Answers that need no window (help, version, errors, the NX notice, headless
// listings) then run on the offscreen platform; the window mode says why it cannot open.
// Returns that reason, or nothing when the display is fine.
QString Application::prepareHeadlessPlatform(int argc, char *argv[])
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return QString();
    const QByteArray display = requestedDisplay(argc, argv);
    if (display.isEmpty() && platform.isEmpty() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return QString();

    QString reason;
    if (display.isEmpty())
        reason = QStringLiteral("DISPLAY is not set");
    else if (!displayAnswers(display))
        reason = QStringLiteral("the X display %1 does not answer").arg(QString::fromLocal8Bit(display));
    else
        return QString();

    qWarning().noquote() << "No display to show windows on:" << reason;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return reason;
}

namespace {

int listVms(const ZELConnectionParameters &parameters, const CommandLineParser::MiscParameters &misc)
{
    VMLister::Options options;
    options.header = !misc.noHeader;
    options.json = misc.json;
    options.rememberedPassword = !misc.passwordGiven;
    if (misc.sslErrors == QLatin1String("continue"))
        options.certificates = VMLister::ContinuePolicy;
    else if (misc.sslErrors == QLatin1String("abort"))
        options.certificates = VMLister::AbortPolicy;

    QTextStream out(stdout, QIODevice::WriteOnly);
    QTextStream err(stderr, QIODevice::WriteOnly);
    const int status = VMLister(parameters, options, out, err).run();
    qDebug() << "Exit: VM list" << status;
    return status;
}

// The first line of standard input, as a script pipes it in (its line end dropped).
QString readPasswordLine()
{
    QTextStream in(stdin, QIODevice::ReadOnly);
    return in.readLine();
}

} // namespace

void Application::tellUser(const QString &text)
{
    // Where the log is on standard error its line says it already.
    if (LogHandler::logOnStandardError())
        return;
    QTextStream(stderr) << programName() << ": " << text << '\n';
}

QStringList Application::translationFolders()
{
#ifdef Q_OS_WIN
    return {QStringLiteral("translations"), QStringLiteral("C:/Program Files/ZEL Client Qt/translations")};
#else
    // The installed folder is found from the program's own, so that any prefix works.
    return {QStringLiteral("translations"),
            QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/" ZEL_TRANSLATIONS_FROM_BINDIR))};
#endif
}

bool Application::loadTranslation(QTranslator &translator, const QStringList &folders)
{
    const QLocale locale;
    for (const QString &folder : folders) {
        qDebug() << "Trying to load translation for" << locale << "from" << folder;
        if (translator.load(folder + QStringLiteral("/ZEL_Client_") + locale.name() + QStringLiteral(".qm"))) {
            qInfo() << "Loaded translation for" << locale << "from" << folder;
            return true;
        }
    }
    qWarning() << "Failed to load translation for" << locale.name();
    return false;
}

void Application::setApplicationNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Pelsor"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("pelsor.com"));
    QCoreApplication::setApplicationName(QStringLiteral("ZEL Client"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));
}

int Application::run(int argc, char *argv[])
{
    ignoreBrokenPipes();
    LogHandler::install(PathTools::getLogDir());
    qInfo() << "Client started";
    // Whatever an older version left in the data folder open to other users is closed now.
    PrivateFiles::tighten(PathTools::getClientDataDir());

    qRegisterMetaType<ZELConnectionParameters::ConnectionSpeed>("ZELConnectionParameters::ConnectionSpeed");
    setApplicationNames();
    qSetMessagePattern(QStringLiteral("[%{type}] (%{file}:%{line}) %{message}"));

    const QString headlessReason = prepareHeadlessPlatform(argc, argv);
    const bool headless = !headlessReason.isEmpty();
    auto app = std::make_unique<QApplication>(argc, argv);
    auto parameters = std::make_unique<ZELConnectionParameters>(ConfigLoader::loadConnectionParameters());
    // The translation comes before the command line: the help text is built while parsing.
    auto translator = std::make_unique<QTranslator>();
    if (loadTranslation(*translator, translationFolders()))
        app->installTranslator(translator.get());
    loadQtTranslation(*app);

    auto nx = std::make_unique<NXErrorCommandData>();
    CommandLineParser::MiscParameters misc;
    const CommandLineParser::Result result = CommandLineParser::instance().parse(*parameters, *nx, misc);

    // Answers read in a terminal keep the log in its file unless asked for; the window and the
    // NX notice log on standard error as well.
    const bool answersInTerminal = !nx->isComplete() && (result != CommandLineParser::Ok || misc.listVms);
    LogHandler::setLogOnStandardError(!answersInTerminal || misc.verbose || qgetenv("ZEL_DEBUG") == "1");
    for (const QString &warning : CommandLineParser::instance().warnings()) {
        qWarning().noquote() << warning;
        tellUser(QCoreApplication::translate("Application", "warning: %1").arg(warning));
    }

    if (nx->isComplete()) {
        if (headless)
            qWarning() << "No display to show the NX dialog on:" << nx->caption << nx->message;
        else
            NXDialog(*nx).exec();
        qDebug() << "Exit: NX message done";
        return 0;
    }

    const int status = printCommandLineAnswer(result);
    if (status >= 0)
        return status;

    if (misc.passwordFromStandardInput) {
        parameters->setPassword(readPasswordLine());
        qInfo() << "Password read from standard input";
    }

    if (misc.listVms)
        return listVms(*parameters, misc);

    if (headless) {
        qCritical().noquote() << "No display to show the window on:" << headlessReason;
        QTextStream(stderr) << QCoreApplication::translate("Application", "No display available (%1): set DISPLAY to "
                                                                          "a display that answers to show the ZEL "
                                                                          "Client window.")
                                   .arg(headlessReason)
                            << '\n';
        return 1;
    }

    auto window = std::make_unique<MainWindow>();
    window->setGivenOnCommandLine(misc.portGiven, misc.connectionTypeGiven);
    window->setConnectionParms(*parameters);
    window->setExperimental(misc.experimental);
    window->show();
    qInfo() << "Main window shown";
    const int exitCode = app->exec();

    window.reset();
    translator.reset();
    nx.reset();
    parameters.reset();
    app.reset();
    return exitCode;
}
