#include "sslerrordialog.h"
#include "ui_sslerrordialog.h"

#include "acceptedcertificatestore.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QHash>
#include <QPushButton>
#include <QTreeWidgetItem>

namespace {
// Index into the dialog's certificate list, kept on each certificate row.
constexpr int CertificateRole = Qt::UserRole + 1;

// The certificate's common name; a certificate without one is named by its whole subject.
QString certificateTitle(const QSslCertificate &certificate)
{
    const QString commonName = certificate.subjectInfo(QSslCertificate::CommonName).value(0);
    return commonName.isEmpty() ? certificate.subjectDisplayName() : commonName;
}
}

SSLErrorDialog::SSLErrorDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SSLErrorDialog)
{
    ui->setupUi(this);
    ui->tabWidget->setCurrentIndex(0);

    QPushButton *once = ui->buttonBox->button(QDialogButtonBox::Ok);
    QPushButton *save = ui->buttonBox->button(QDialogButtonBox::Save);
    QPushButton *cancel = ui->buttonBox->button(QDialogButtonBox::Cancel);
    // Accepting takes a deliberate key of its own (Alt+T, Alt+P).
    once->setText(tr("Accept &temporarily"));
    save->setText(tr("Accept &permanently"));
    cancel->setText(tr("Cancel"));
    setWindowTitle(tr("Untrusted server certificate"));

    // Return must never accept a certificate nobody vouches for: the safe answer is the
    // default, and the accepting buttons are pressed deliberately or not at all.
    once->setAutoDefault(false);
    save->setAutoDefault(false);
    ui->aceptar->setAutoDefault(false);
    cancel->setDefault(true);

    // Each button ends the dialog itself with its final result, so that the modal run and
    // finished() agree and finished() comes once.
    connect(once, &QPushButton::clicked, this, &SSLErrorDialog::accept_ssl);
    connect(save, &QPushButton::clicked, this, &SSLErrorDialog::accept_save_ssl);
    connect(cancel, &QPushButton::clicked, this, &SSLErrorDialog::reject_ssl);
    connect(ui->errorTree, &QTreeWidget::currentItemChanged, this, &SSLErrorDialog::showCertificateOf);
}

SSLErrorDialog::~SSLErrorDialog()
{
    delete ui;
}

QTreeWidgetItem *SSLErrorDialog::addCertificateItem(const QSslCertificate &certificate, const QString &title)
{
    auto *item = new QTreeWidgetItem(ui->errorTree);
    item->setText(0, title);
    item->setExpanded(true);
    if (!certificate.isNull()) {
        item->setData(0, CertificateRole, m_certificates.size());
        m_certificates << certificate;
    }
    return item;
}

void SSLErrorDialog::setErrors(const QList<QSslError> &errors, const QList<QSslCertificate> &cert_chain)
{
    ui->errorTree->clear();
    m_certificates.clear();
    ui->certDescription->clear();

    QHash<QByteArray, QTreeWidgetItem *> itemsByDigest;
    for (const QSslCertificate &certificate : cert_chain) {
        QTreeWidgetItem *item = addCertificateItem(certificate, certificateTitle(certificate));
        itemsByDigest.insert(certificate.digest(QCryptographicHash::Md5), item);
        ui->certDescription->setPlainText(certificate.toText());
    }

    QTreeWidgetItem *unattached = nullptr;
    for (const QSslError &error : errors) {
        const QSslCertificate certificate = error.certificate();
        QTreeWidgetItem *parentItem = nullptr;
        if (!certificate.isNull()) {
            const QByteArray digest = certificate.digest(QCryptographicHash::Md5);
            parentItem = itemsByDigest.value(digest);
            if (!parentItem) {
                parentItem = addCertificateItem(certificate, certificateTitle(certificate));
                itemsByDigest.insert(digest, parentItem);
            }
        } else {
            if (!unattached)
                unattached = addCertificateItem(QSslCertificate(), tr("Connection"));
            parentItem = unattached;
        }
        auto *child = new QTreeWidgetItem(parentItem);
        child->setText(0, tr("Medium"));
        child->setText(1, error.errorString());
        parentItem->setExpanded(true);
    }
}

void SSLErrorDialog::showCertificateOf(QTreeWidgetItem *item)
{
    while (item && item->parent())
        item = item->parent();
    if (!item)
        return;
    const QVariant index = item->data(0, CertificateRole);
    if (index.isValid())
        ui->certDescription->setPlainText(m_certificates.value(index.toInt()).toText());
}

void SSLErrorDialog::accept_ssl()
{
    qDebug() << "(accept_ssl) Accepting settings certificate once";
    done(AcceptOnce);
}

void SSLErrorDialog::accept_save_ssl()
{
    qDebug() << "(accept_save_ssl) Saving settings certificate";
    done(AcceptPermanently);
}

void SSLErrorDialog::reject_ssl()
{
    qDebug() << "(reject_ssl) Reject settings certificate";
    done(Refuse);
}

bool SSLErrorDialog::decide(const QList<QSslError> &errors, const QList<QSslCertificate> &cert_chain,
                            const QString &host, QWidget *parent)
{
    AcceptedCertificateStore store;
    if (store.isChainAccepted(cert_chain, host))
        return true;

    auto *dialog = new SSLErrorDialog(parent);
    dialog->resize(700, 380);
    if (!host.isEmpty())
        dialog->setWindowTitle(tr("Untrusted certificate of %1").arg(host));
    dialog->setErrors(errors, cert_chain);
    const int result = dialog->exec();
    qInfo().nospace() << "Dialog result: " << result;
    // One dialog per problem: free it now rather than let them pile up under the parent.
    dialog->deleteLater();

    if (result == AcceptPermanently)
        store.acceptChain(cert_chain, host);
    return result > 0;
}
