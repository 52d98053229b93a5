#include "connectaudio.h"

void ConnectAudio::chooseDevices()
{
    if (m_microphone)
        devicesChosen({QStringLiteral("load-module module-waveout")});
    else
        devicesChosen({QStringLiteral("load-module module-waveout record=0")});
}
