#include "serviceconfig.h"
#include "slaveservice.h"
#include "streamchannel.h"

#include <QCoreApplication>

#include <csignal>
#include <unistd.h>

// zel-demo-slave-service: the slave service of the demo VM. nxagent starts it for every
// slave connection with the connection as standard input and output; standard output
// therefore carries nothing but the protocol, and diagnostics go to standard error.
int main(int argc, char *argv[])
{
    // A peer that goes away must end a write with an error, not end the process unnoticed.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-demo-slave-service"));

    const ServiceConfig config = ServiceConfig::fromEnvironment();
    StreamChannel channel(STDIN_FILENO, STDOUT_FILENO);
    SlaveService service(config, channel);
    return service.run();
}
