#include "application.h"

void Application::ignoreBrokenPipes()
{
    // Windows has no SIGPIPE: a write to a closed pipe only fails.
}
