#include "lastpicture.h"

#include "backends/xconnection.h"

#include <QDebug>

bool LastPicture::keep(unsigned short display, const QByteArray &cookie)
{
    const XConnection connection(display, cookie);
    if (connection.error() || !connection.screen()) {
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
    const QString refusal = connection.check(set, QStringLiteral("the last picture as its background"));
    if (!refusal.isEmpty()) {
        qWarning().noquote() << "Can't keep the last picture:" << refusal;
        return false;
    }
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
    const XConnection connection(m_display, m_cookie);
    if (connection.error() || !connection.screen())
        return;
    const uint32_t none = XCB_BACK_PIXMAP_NONE;
    const QString refusal = connection.check(
        xcb_change_window_attributes_checked(connection.get(), connection.screen()->root, XCB_CW_BACK_PIXMAP, &none),
        QStringLiteral("the root window's own background"));
    if (!refusal.isEmpty())
        qWarning().noquote() << "Can't give the root window its own background back:" << refusal;
}
