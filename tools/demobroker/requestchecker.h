#pragma once

#include "brokerrequest.h"

#include <QList>
#include <QPair>
#include <QString>

// Checks a request head against the exact form the client writes for each broker request:
// method, path, query items and their order, header names, values and order.
class RequestChecker
{
public:
    enum class Endpoint { Unknown, VmList, ConnectToVm, StopVm, Ping, Printer };

    // What a well-formed request carries.
    struct Facts
    {
        QString user;
        QString secret;  // password followed by the second factor
        QByteArray userAgent;
        QList<QPair<QString, QString>> environment;  // from the "Auth-" headers
        int vmId = -1;   // connect_to_vm and stop_vm
    };

    static Endpoint endpointOf(const QByteArray &path);

    // Empty when the request has the form of its endpoint; otherwise why not. The caller has
    // checked the path and the method.
    static QString check(const BrokerRequest &request, Endpoint endpoint, Facts *facts);

    // The Authorization value with its credentials hidden, for the log.
    static QString maskedAuthorization(const QByteArray &value);

private:
    static QString checkQuery(const BrokerRequest &request, Endpoint endpoint, Facts *facts);
    static bool decodeCredentials(const QByteArray &value, QString *user, QString *secret);
};
