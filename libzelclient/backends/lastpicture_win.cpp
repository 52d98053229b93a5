#include "lastpicture.h"

// The Windows X server shows the remote desktop in its own windows, which go with nxproxy's:
// nothing is kept there.
bool LastPicture::keep(unsigned short, const QByteArray &)
{
    return false;
}

void LastPicture::release()
{
    m_kept = false;
}
