// Owns an X server launcher on the display given as its argument and says "running" once the
// server answers; the test then kills this program as a crash would.
#include "backends/xserverlauncher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;

    XServerLauncher launcher;
    launcher.setDisplay(static_cast<unsigned short>(QByteArray(argv[1]).toUShort()));
    QObject::connect(&launcher, &XServerLauncher::running, [] {
        std::fputs("running\n", stdout);
        std::fflush(stdout);
    });
    QObject::connect(&launcher, &XServerLauncher::failed, [](const QString &error) {
        std::fprintf(stdout, "failed %s\n", qPrintable(error));
        std::fflush(stdout);
        QCoreApplication::exit(1);
    });
    launcher.start();
    return app.exec();
}
