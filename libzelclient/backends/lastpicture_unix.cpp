#include "lastpicture.h"

#include "backends/xauthority.h"

#include <QDebug>

#include <cstdlib>
#include <xcb/xcb.h>

namespace {

// A connection that presents the server's cookie, closed when it goes.
class Connection
{
public:
    Connection(unsigned short display, const QByteArray &cookie)
    {
        QByteArray authName = XAuthority::cookieName();
        QByteArray authData = cookie;
        xcb_auth_info_t auth{};
        auth.namelen = authName.size();
        auth.name = authName.data();
        auth.datalen = authData.size();
        auth.data = authData.data();
        const QByteArray displayName = ':' + QByteArray::number(display);
        m_connection = xcb_connect_to_display_with_auth_info(displayName.constData(), cookie.isEmpty() ? nullptr : &auth,
                                                             nullptr);
    }
    ~Connection() { xcb_disconnect(m_connection); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    xcb_connection_t *get() const { return m_connection; }
    bool failed() const { return xcb_connection_has_error(m_connection) != 0; }
    xcb_screen_t *screen() const { return xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data; }

    // Whether the server carried out the request; its error is logged.
    bool succeeded(xcb_void_cookie_t request, const char *what) const
    {
        xcb_generic_error_t *error = xcb_request_check(m_connection, request);
        if (!error && !failed())
            return true;
        qWarning() << "The local X server refused" << what << "(error" << (error ? error->error_code : 0) << ")";
        free(error);
        return false;
    }

private:
    xcb_connection_t *m_connection;
};

} // namespace

bool LastPicture::keep(unsigned short display, const QByteArray &cookie)
{
    const Connection connection(display, cookie);
    if (connection.failed() || !connection.screen()) {
        qWarning() << "Can't keep the last picture: no connection to the local X server on display" << display;
        return false;
    }
    xcb_connection_t *c = connection.get();
    const xcb_screen_t *screen = connection.screen();

    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, screen->width_in_pixels, screen->height_in_pixels);
    // The root window with what its children show: the remote desktop as it is on the screen.
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    xcb_create_gc(c, gc, screen->root, XCB_GC_SUBWINDOW_MODE, &includeInferiors);
    xcb_copy_area(c, screen->root, pixmap, gc, 0, 0, 0, 0, screen->width_in_pixels, screen->height_in_pixels);
    const uint32_t background = pixmap;
    const xcb_void_cookie_t set = xcb_change_window_attributes_checked(c, screen->root, XCB_CW_BACK_PIXMAP, &background);
    // The window holds its background: the pixmap's name is not needed any more.
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    if (!connection.succeeded(set, "the last picture as its background"))
        return false;
    m_kept = true;
    m_display = display;
    m_cookie = cookie;
    qInfo() << "The last picture of the remote desktop is kept on the local X server";
    return true;
}

void LastPicture::release()
{
    if (!m_kept)
        return;
    m_kept = false;
    const Connection connection(m_display, m_cookie);
    if (connection.failed() || !connection.screen())
        return;
    const uint32_t none = XCB_BACK_PIXMAP_NONE;
    connection.succeeded(
        xcb_change_window_attributes_checked(connection.get(), connection.screen()->root, XCB_CW_BACK_PIXMAP, &none),
        "its own background");
}
