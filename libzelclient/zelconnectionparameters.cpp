#include "zelconnectionparameters.h"

#include <QDebug>

QDebug operator<<(QDebug debug, const ZELConnectionParameters &p)
{
    const QDebugStateSaver saver(debug);
    debug.nospace();
    debug << "{"
          << " Host = '" << p.host() << "'"
          << "; Port = " << p.port()
          << "; User = '" << p.username() << "'"
          << "; Password = '" << "********" << "'"
          << "; Second factor = " << "********"
          << "; Speed = " << static_cast<int>(p.connectionSpeed())
          << "; Geometry = " << p.geometry()
          << "; Keyboard = '" << p.keyboard() << "'"
          << "; ExtraArgs = '" << p.nxagent_extra_args() << "'"
          << "; NxProxyExtraArgs = '" << p.nxproxy_extra_args() << "'"
          << "; FullScreen = " << p.fullscreen()
          << "; Printing = " << p.printing()
          << "; USBForwarding = " << p.usb_forwarding()
          << "; SharedFolders = " << p.sharedFolders()
          << "; EnvironmentVariables = " << p.EnvironmentVariables()
          << "; Audio = " << p.audio()
          << "; Microphone = " << p.microphone()
          << "; Audio compression = " << p.audioCompression()
          << "; Timezone = " << p.timezone()
          << "}";
    return debug;
}
