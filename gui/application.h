#pragma once

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

private:
    static void setApplicationNames();
    // The NX proxy starts the dialog program with the proxy's own output pipes and may exit
    // straight away: writing a log line must never end the process.
    static void ignoreBrokenPipes();
};
