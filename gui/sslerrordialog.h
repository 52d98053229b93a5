#pragma once

#include <QDialog>
#include <QList>
#include <QSslCertificate>
#include <QSslError>

class QTreeWidgetItem;

namespace Ui {
class SSLErrorDialog;
}

// Shows the problems the TLS handshake found with the server's certificate chain and lets the
// user refuse, accept for this connection, or accept and remember the chain.
class SSLErrorDialog : public QDialog
{
    Q_OBJECT

public:
    // The dialog's result codes.
    enum Decision {
        Refuse = 0,
        AcceptOnce = 1,
        AcceptPermanently = 2
    };
    Q_ENUM(Decision)

    explicit SSLErrorDialog(QWidget *parent = nullptr);
    ~SSLErrorDialog() override;

    // One row per certificate of the chain with its errors below it. Errors that belong to no
    // certificate of the chain are listed too, under a row of their own.
    void setErrors(const QList<QSslError> &errors, const QList<QSslCertificate> &cert_chain);

    // Answers a certificate problem of a connection to host: true at once when the whole chain
    // was accepted permanently for that host before; otherwise asks with a modal dialog (700 by
    // 380, parent as given) and stores the chain for the host when the user accepts it
    // permanently.
    static bool decide(const QList<QSslError> &errors, const QList<QSslCertificate> &cert_chain,
                       const QString &host, QWidget *parent);

private slots:
    void accept_ssl();
    void accept_save_ssl();
    void reject_ssl();
    void showCertificateOf(QTreeWidgetItem *item);

private:
    QTreeWidgetItem *addCertificateItem(const QSslCertificate &certificate, const QString &title);

    Ui::SSLErrorDialog *ui;
    QList<QSslCertificate> m_certificates;
};
