#pragma once

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>

// A connection to the local X server on a display that presents the server's cookie (none
// when the cookie is empty), closed when it goes. For the few requests the client makes of
// its own X server itself, where a helper program would make the session wait.
class XConnection
{
public:
    XConnection(unsigned short display, const QByteArray &cookie);
    ~XConnection();
    XConnection(const XConnection &) = delete;
    XConnection &operator=(const XConnection &) = delete;

    xcb_connection_t *get() const { return m_connection; }
    // xcb's error code for the connection; 0 while it works.
    int error() const { return xcb_connection_has_error(m_connection); }
    xcb_screen_t *screen() const { return xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data; }
    QString displayName() const { return QString::fromLatin1(m_displayName); }

    // Waits for the server's answer to the request: empty when it was carried out, otherwise
    // why not (what names the request).
    QString check(xcb_void_cookie_t request, const QString &what) const;

private:
    QByteArray m_displayName;
    xcb_connection_t *m_connection;
};
