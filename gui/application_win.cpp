#include "application.h"

void Application::ignoreBrokenPipes()
{
    // Windows has no SIGPIPE: a write to a closed pipe only fails.
}

bool Application::displayAnswers(const QByteArray &)
{
    // The Windows desktop is always there for a program the user started.
    return true;
}
