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

    QString errorText() const { return m_errorText; }
    QString helpText() const { return m_parser.helpText(); }

    // nxproxy passes "--local" without a value; it means the same as "--local 1".
    static QStringList normalizedArguments(const QStringList &arguments);

private:
    CommandLineParser();

    void registerOptions();
    void applyConnectionOptions(ZELConnectionParameters &parameters) const;
    bool applyConnectionType(ZELConnectionParameters &parameters) const;
    bool applyDialogOptions(NXErrorCommandData &nx) const;
    bool applyListingOptions(MiscParameters &misc);
    // Switch-like options take a value; "0", "false", "no" and "off" turn them off.
    bool switchValue(const QString &name) const;

    QString m_errorText;
    QCommandLineParser m_parser;
    bool m_optionsRegistered = false;
};
