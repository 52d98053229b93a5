#include "connectaudio.h"

QStringList ConnectAudio::deviceLines(bool microphone)
{
    if (microphone)
        return {QStringLiteral("load-module module-waveout")};
    return {QStringLiteral("load-module module-waveout record=0")};
}
