#include "pulseaudio.h"

QString PulseAudio::getPulseModuleExtension()
{
    return QStringLiteral(".dll");
}
