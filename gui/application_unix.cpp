#include "application.h"

#include <csignal>
#include <xcb/xcb.h>

void Application::ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

bool Application::displayAnswers(const QByteArray &display)
{
    // The same connection Qt's X platform makes, authority cookie included.
    xcb_connection_t *connection = xcb_connect(display.isEmpty() ? nullptr : display.constData(), nullptr);
    const bool answers = connection && xcb_connection_has_error(connection) == 0;
    if (connection)
        xcb_disconnect(connection);
    return answers;
}
