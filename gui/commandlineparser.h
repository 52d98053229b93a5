#pragma once

#include "nxerrorcommanddata.h"
#include "zelconnectionparameters.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

// Turns the program's arguments into connection parameters, an NX dialog request and a few
// program switches. There is one per process, reached through instance().
class CommandLineParser
{
    Q_DECLARE_TR_FUNCTIONS(CommandLineParser)

public:
    struct MiscParameters {
        bool experimental = false;
        // Headless listing: print the VM list and exit instead of opening the window.
        bool listVms = false;
        bool noHeader = false;
        bool json = false;
        // "ask", "continue" or "abort"; empty when not given.
        QString sslErrors;
        // Given on the command line: for this run they win over the stored choices.
        bool portGiven = false;
        bool connectionTypeGiven = false;
        // The password comes from the command line (--password) or from standard input.
        bool passwordGiven = false;
        bool passwordFromStandardInput = false;
        // The log on standard error in the modes that answer in a terminal.
        bool verbose = false;
    };

    enum Result {
        Ok = 0,
        Error = 1,
        VersionRequested = 2,
        HelpRequested = 3
    };

    static CommandLineParser &instance();

    // Parses QCoreApplication::arguments(); the application object must exist.
    Result parse(ZELConnectionParameters &parameters, NXErrorCommandData &nx, MiscParameters &misc);
    Result parse(const QStringList &arguments, ZELConnectionParameters &parameters, NXErrorCommandData &nx,
                 MiscParameters &misc);

    // Why the last parse gave Error, in a line or two ending with a line break.
    QString errorText() const { return m_errorText; }
    // What the user should know about options that were accepted (empty when all is well).
    QStringList warnings() const { return m_warnings; }
    QString helpText() const { return m_parser.helpText(); }

    // nxproxy passes "--local" without a value; it means the same as "--local 1". The switches
    // of the listing keep their older written forms: "--json=1", and "--json 1" where the next
    // word is one of 1/0/yes/no/true/false ("--json 0" leaves the switch off). A switch with
    // another "=" value is an error, in error.
    static QStringList normalizedArguments(const QStringList &arguments, QString *error = nullptr);

private:
    CommandLineParser();

    void registerOptions();
    bool checkValues();
    bool applyConnectionOptions(ZELConnectionParameters &parameters, MiscParameters &misc);
    bool applyConnectionType(ZELConnectionParameters &parameters);
    bool applyDialogOptions(NXErrorCommandData &nx);
    bool applyListingOptions(MiscParameters &misc);
    bool fail(const QString &text);

    QString m_errorText;
    QStringList m_warnings;
    QCommandLineParser m_parser;
    // Every name an option answers to, help and version included.
    QStringList m_optionNames;
    QStringList m_valueOptionNames;
    bool m_optionsRegistered = false;
};
