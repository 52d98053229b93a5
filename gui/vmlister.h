#pragma once

#include "zelclient.h"

#include <QCoreApplication>
#include <QObject>
#include <QTextStream>

// Lists the user's VMs without a window: logs in with the command-line parameters, prints the
// list as a table or as JSON, and ends with an exit status (0, or non-zero with a message).
class VMLister : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus {
        Listed = 0,
        ConnectionFailed = 2,
        Refused = 3,
        CertificateRefused = 4
    };
    Q_ENUM(ExitStatus)

    enum CertificatePolicy {
        AskPolicy,
        ContinuePolicy,
        AbortPolicy
    };
    Q_ENUM(CertificatePolicy)

    struct Options {
        bool header = true;
        bool json = false;
        CertificatePolicy certificates = AskPolicy;
        // No password was given: the one remembered for the server and user is used.
        bool rememberedPassword = false;
    };

    VMLister(const ZELConnectionParameters &parameters, const Options &options, QTextStream &out, QTextStream &err);

    // Runs the event loop until the list is printed or the attempt failed.
    int run();

    static QString listAsText(const QList<ZELClient::VMInfo> &vms, bool header);
    static QString listAsJson(const QList<ZELClient::VMInfo> &vms);
    static QString stateName(int state);

private:
    void loadRememberedPassword();
    void warn(const QString &message);
    void printList(const QList<ZELClient::VMInfo> &vms);
    void fail(ExitStatus status, const QString &message);
    void decideCertificate(const QList<QSslError> &errors, const QList<QSslCertificate> &chain, bool &accept);
    void finish(int status);

    ZELClient m_session;
    ZELConnectionParameters m_parameters;
    Options m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    int m_status = -1;
    bool m_done = false;
};
