#pragma once

#include <QByteArray>

// The last picture of the remote desktop, kept on the local X server while the link to the VM
// is down: what the screen shows is copied into the root window's background, so that it
// stays when nxproxy's windows go, until the resumed desktop covers it again.
class LastPicture
{
public:
    LastPicture() = default;
    LastPicture(const LastPicture &) = delete;
    LastPicture &operator=(const LastPicture &) = delete;

    // Copies the screen of the X server on the display into its root background; false (and
    // logged) when the server cannot be reached or refuses.
    bool keep(unsigned short display, const QByteArray &cookie);
    // The root window gets its own background back, for whatever later shows the root; what
    // the screen shows now is left as it is, so that nothing flickers under the new desktop.
    void release();
    bool isKept() const { return m_kept; }

private:
    bool m_kept = false;
    unsigned short m_display = 0;
    QByteArray m_cookie;
};
