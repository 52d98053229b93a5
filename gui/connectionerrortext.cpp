#include "connectionerrortext.h"

#include <QCoreApplication>

QString ConnectionErrorText::title(ZELClient::ConnectionError error)
{
    switch (error) {
    case ZELClient::NoError:
        return QCoreApplication::translate("MainWindow", "Bug: no error");
    case ZELClient::AuthenticationError:
        return QCoreApplication::translate("MainWindow", "Authentication error");
    case ZELClient::Timeout:
        return QCoreApplication::translate("MainWindow", "Timeout");
    case ZELClient::VMStartError:
        return QCoreApplication::translate("MainWindow", "Error when starting the VM");
    case ZELClient::ProtocolError:
        return QCoreApplication::translate("MainWindow", "Protocol error");
    case ZELClient::ServerBlocked:
        return QCoreApplication::translate("MainWindow", "Server blocked");
    case ZELClient::ServerError:
        return QCoreApplication::translate("MainWindow", "Server error");
    case ZELClient::XServerError:
        return QCoreApplication::translate("MainWindow", "X Server error");
    case ZELClient::BackendFailed:
        return QCoreApplication::translate("MainWindow", "Backend error");
    case ZELClient::InternalError:
        return QCoreApplication::translate("MainWindow", "Internal error");
    }
    return QString();
}

QString ConnectionErrorText::description(ZELClient::ConnectionError error, const QString &sessionText)
{
    // The session reports a refused login in Spanish, the broker's own language.
    if (error == ZELClient::AuthenticationError)
        return QCoreApplication::translate("MainWindow", "Wrong user name or password.");
    return sessionText;
}
