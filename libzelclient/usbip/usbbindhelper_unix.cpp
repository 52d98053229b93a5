#include "usbbindhelper.h"

#include <unistd.h>

namespace {

// The helper's process, given the connection as its standard input.
class UsbHelperProcess : public QProcess
{
public:
    UsbHelperProcess(int socket, QObject *parent)
        : QProcess(parent)
        , m_socket(socket)
    {
    }

protected:
    // Runs in the child between fork and exec: only async-signal-safe calls here. The copy on
    // standard input is the only one the helper gets; the client's own stays closed on exec.
    void setupChildProcess() override
    {
        if (m_socket >= 0)
            ::dup2(m_socket, STDIN_FILENO);
    }

private:
    int m_socket;
};

} // namespace

bool UsbBindHelper::runsAsRoot()
{
    return ::geteuid() == 0;
}

QProcess *UsbBindHelper::createProcess(int socket)
{
    return new UsbHelperProcess(socket, this);
}
