// Runs a sound server through the manager, with the runtime folder and the script given as its
// arguments, and says "started" once the server answers; the test then kills this program as a
// crash would.
#include "pulseaudio/pulseaudio.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;

    PulseAudio pulse;
    pulse.setPulseaudioHome(QString::fromLocal8Bit(argv[1]));
    pulse.setZelPulseaudioConfig(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&pulse, &PulseAudio::started, [] {
        std::fputs("started\n", stdout);
        std::fflush(stdout);
    });
    QObject::connect(&pulse, &PulseAudio::error, [](const QString &error) {
        std::fprintf(stdout, "failed %s\n", qPrintable(error));
        std::fflush(stdout);
        QCoreApplication::exit(1);
    });
    pulse.start();
    return app.exec();
}
