#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QApplication;
class QTranslator;

// The program's start-up: log, application names, settings, command line, translation,
// then the NX dialog, a printed answer or the main window.
class Application
{
public:
    static int run(int argc, char *argv[]);

    // Searched in this order: "translations" in the working folder, then the installed folder
    // found from the program's own (the application object must exist).
    static QStringList translationFolders();
    static bool loadTranslation(QTranslator &translator, const QStringList &folders);
    // A line on standard error for the user of a terminal: the program's name, then the text.
    static void tellUser(const QString &text);

private:
    static void setApplicationNames();
    static QString prepareHeadlessPlatform(int argc, char *argv[]);
    // The NX proxy starts the dialog program with the proxy's own output pipes and may exit
    // straight away: writing a log line must never end the process.
    static void ignoreBrokenPipes();
    // Whether the window system's display (an X display name; empty: the default one) takes a
    // client. Qt ends the whole program when its display does not, so it is asked first.
    static bool displayAnswers(const QByteArray &display);
};
