#include "application.h"

#include <csignal>

void Application::ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}
