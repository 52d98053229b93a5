#include "acceptedcertificatestore.h"
#include "sslerrordialog.h"
#include "logcapture.h"
#include "testcertificatechain.h"
#include "testenvironment.h"
#include "tlstestserver.h"
#include "zelclient.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSslSocket>
#include <QTabWidget>
#include <QTcpServer>
#include <QTranslator>
#include <QTreeWidget>
#include <QLayout>
#include <QtTest>

namespace {

enum class UserAction { AcceptOnce, AcceptPermanently, Cancel, CloseFrame, Escape };

const QString broker = QStringLiteral("broker.example");

// Answers every certificate dialog that comes up modally, the way a user would, and counts them.
class DialogAnswerer : public QObject
{
public:
    explicit DialogAnswerer(UserAction action)
        : m_action(action)
    {
        connect(&m_poll, &QTimer::timeout, this, &DialogAnswerer::poll);
        m_poll.start(10);
    }

    int shown() const { return m_shown; }
    QStringList errorRows() const { return m_errorRows; }
    QString title() const { return m_title; }

private:
    void poll()
    {
        auto *dialog = qobject_cast<SSLErrorDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_current)
            return;
        m_current = dialog;
        ++m_shown;
        m_title = dialog->windowTitle();
        auto *tree = dialog->findChild<QTreeWidget *>(QStringLiteral("errorTree"));
        for (int i = 0; tree && i < tree->topLevelItemCount(); ++i) {
            for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j)
                m_errorRows << tree->topLevelItem(i)->child(j)->text(1);
        }
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        switch (m_action) {
        case UserAction::AcceptOnce:
            box->button(QDialogButtonBox::Ok)->click();
            break;
        case UserAction::AcceptPermanently:
            box->button(QDialogButtonBox::Save)->click();
            break;
        case UserAction::Cancel:
            box->button(QDialogButtonBox::Cancel)->click();
            break;
        case UserAction::CloseFrame:
            dialog->close();
            break;
        case UserAction::Escape:
            QTest::keyClick(dialog, Qt::Key_Escape);
            break;

        }
    }

    UserAction m_action;
    QTimer m_poll;
    QPointer<SSLErrorDialog> m_current;
    int m_shown = 0;
    QStringList m_errorRows;
    QString m_title;
};

QStringList storedHashes()
{
    return AcceptedCertificateStore().fingerprints();
}

} // namespace

Q_DECLARE_METATYPE(UserAction)

class TestSSLErrorDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void form();
    void errorTree();
    void errorsWithoutCertificate();
    void certificateWithoutCommonName();
    void buttons_data();
    void buttons();
    void returnNeverAccepts_data();
    void returnNeverAccepts();
    void decision_data();
    void decision();
    void acceptOnceAsksAgain();
    void emptyChainIsAsked();
    void realServer();
    void spanish();

private:
    QStringList hashesOf(const QStringList &names) const;

    TestEnvironment m_environment;
    TestCertificateChain m_certificates;
};

void TestSSLErrorDialog::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorText()));
}

void TestSSLErrorDialog::init()
{
    TestCertificateChain::writeStoredFingerprints({});
    LogCapture::install();
    LogCapture::clear();
}

void TestSSLErrorDialog::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << "Log of the test:\n" << LogCapture::lines().join(QLatin1Char('\n'));
}

QStringList TestSSLErrorDialog::hashesOf(const QStringList &names) const
{
    QStringList hashes;
    for (const QString &name : names)
        hashes << AcceptedCertificateStore::fingerprint(name == QLatin1String("leaf") ? m_certificates.leaf()
                                                                                      : m_certificates.ca());
    return hashes;
}

void TestSSLErrorDialog::form()
{
    SSLErrorDialog dialog;
    auto *tabs = dialog.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QVERIFY(tabs);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tab"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("Problems"));
    QCOMPARE(tabs->widget(1)->objectName(), QStringLiteral("tab_2"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Details"));

    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("errorTree"));
    QVERIFY(tree);
    QCOMPARE(tree->columnCount(), 2);
    QCOMPARE(tree->headerItem()->text(0), QStringLiteral("Severity"));
    QCOMPARE(tree->headerItem()->text(1), QStringLiteral("Error"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label"))->text(), QStringLiteral("Result of the certificate check"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label_2"))->text(), QStringLiteral("Recommendations"));
    QVERIFY(dialog.findChild<QPlainTextEdit *>(QStringLiteral("errorDescription"))->toPlainText().isEmpty());
    QVERIFY(dialog.findChild<QPlainTextEdit *>(QStringLiteral("certDescription")));
    QVERIFY(dialog.findChild<QLayout *>(QStringLiteral("gridLayout")));
    QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("aceptar"))->text().isEmpty());

    auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QVERIFY(box);
    QCOMPARE(box->buttons().size(), 3);
    QCOMPARE(box->button(QDialogButtonBox::Ok)->text(), QStringLiteral("Accept &temporarily"));
    QCOMPARE(box->button(QDialogButtonBox::Save)->text(), QStringLiteral("Accept &permanently"));
    QCOMPARE(box->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancel"));
    QCOMPARE(box->buttonRole(box->button(QDialogButtonBox::Save)), QDialogButtonBox::AcceptRole);
}

void TestSSLErrorDialog::errorTree()
{
    const QList<QSslError> errors{QSslError(QSslError::HostNameMismatch, m_certificates.leaf()),
                                  QSslError(QSslError::SelfSignedCertificateInChain, m_certificates.ca()),
                                  QSslError(QSslError::CertificateUntrusted, m_certificates.leaf())};
    SSLErrorDialog dialog;
    dialog.setErrors(errors, m_certificates.chain());

    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("errorTree"));
    QCOMPARE(tree->topLevelItemCount(), 2);
    QTreeWidgetItem *leaf = tree->topLevelItem(0);
    QTreeWidgetItem *ca = tree->topLevelItem(1);
    QCOMPARE(leaf->text(0), QStringLiteral("localhost"));
    QCOMPARE(ca->text(0), QStringLiteral("ZEL Test CA"));
    QVERIFY(leaf->isExpanded());
    QVERIFY(ca->isExpanded());

    QCOMPARE(leaf->childCount(), 2);
    QCOMPARE(leaf->child(0)->text(0), QStringLiteral("Medium"));
    QCOMPARE(leaf->child(0)->text(1), errors.at(0).errorString());
    QCOMPARE(leaf->child(1)->text(0), QStringLiteral("Medium"));
    QCOMPARE(leaf->child(1)->text(1), errors.at(2).errorString());
    QCOMPARE(ca->childCount(), 1);
    QCOMPARE(ca->child(0)->text(0), QStringLiteral("Medium"));
    QCOMPARE(ca->child(0)->text(1), errors.at(1).errorString());

    auto *details = dialog.findChild<QPlainTextEdit *>(QStringLiteral("certDescription"));
    QCOMPARE(details->toPlainText(), m_certificates.ca().toText());
    // Choosing a certificate's row (or one of its errors) shows that certificate.
    tree->setCurrentItem(leaf->child(1));
    QCOMPARE(details->toPlainText(), m_certificates.leaf().toText());
    tree->setCurrentItem(ca);
    QCOMPARE(details->toPlainText(), m_certificates.ca().toText());

    // Filled again, the tree holds only the new problems.
    dialog.setErrors({QSslError(QSslError::CertificateExpired, m_certificates.leaf())}, {m_certificates.leaf()});
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0)->childCount(), 1);
    QCOMPARE(details->toPlainText(), m_certificates.leaf().toText());
}

void TestSSLErrorDialog::errorsWithoutCertificate()
{
    // Problems the chain does not explain must still reach the user.
    const QList<QSslError> errors{QSslError(QSslError::UnableToGetLocalIssuerCertificate),
                                  QSslError(QSslError::CertificateUntrusted, m_certificates.ca()),
                                  QSslError(QSslError::NoPeerCertificate)};
    SSLErrorDialog dialog;
    dialog.setErrors(errors, {m_certificates.leaf()});

    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("errorTree"));
    QCOMPARE(tree->topLevelItemCount(), 3);
    QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("localhost"));
    QCOMPARE(tree->topLevelItem(0)->childCount(), 0);
    QCOMPARE(tree->topLevelItem(1)->text(0), QStringLiteral("Connection"));
    QCOMPARE(tree->topLevelItem(1)->childCount(), 2);
    QCOMPARE(tree->topLevelItem(1)->child(0)->text(1), errors.at(0).errorString());
    QCOMPARE(tree->topLevelItem(1)->child(1)->text(1), errors.at(2).errorString());
    QCOMPARE(tree->topLevelItem(2)->text(0), QStringLiteral("ZEL Test CA"));
    QCOMPARE(tree->topLevelItem(2)->child(0)->text(0), QStringLiteral("Medium"));
}

void TestSSLErrorDialog::certificateWithoutCommonName()
{
    const QSslCertificate nameless = m_certificates.selfSigned(QStringLiteral("/O=ZEL Nameless/C=ES"),
                                                               QStringLiteral("nameless"));
    QVERIFY2(!nameless.isNull(), qPrintable(m_certificates.errorText()));
    QVERIFY(nameless.subjectInfo(QSslCertificate::CommonName).isEmpty());

    SSLErrorDialog dialog;
    dialog.setErrors({QSslError(QSslError::SelfSignedCertificate, nameless)}, {nameless});
    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("errorTree"));
    QCOMPARE(tree->topLevelItemCount(), 1);
    QVERIFY2(tree->topLevelItem(0)->text(0).contains(QStringLiteral("ZEL Nameless")),
             qPrintable(tree->topLevelItem(0)->text(0)));
    QCOMPARE(tree->topLevelItem(0)->childCount(), 1);
}

void TestSSLErrorDialog::buttons_data()
{
    QTest::addColumn<UserAction>("action");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("accept temporarily") << UserAction::AcceptOnce << 1
                                        << QStringLiteral("(accept_ssl) Accepting settings certificate once");
    QTest::newRow("accept permanently") << UserAction::AcceptPermanently << 2
                                        << QStringLiteral("(accept_save_ssl) Saving settings certificate");
    QTest::newRow("cancel") << UserAction::Cancel << 0 << QStringLiteral("(reject_ssl) Reject settings certificate");
    QTest::newRow("window frame") << UserAction::CloseFrame << 0 << QString();
    QTest::newRow("escape") << UserAction::Escape << 0 << QString();
}

void TestSSLErrorDialog::buttons()
{
    QFETCH(UserAction, action);
    QFETCH(int, result);
    QFETCH(QString, logLine);

    SSLErrorDialog dialog;
    dialog.setErrors({QSslError(QSslError::SelfSignedCertificate, m_certificates.leaf())}, {m_certificates.leaf()});
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(finished.isValid());
    DialogAnswerer answerer(action);
    QCOMPARE(dialog.exec(), result);
    QCOMPARE(dialog.result(), result);
    QCOMPARE(answerer.shown(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), result);
    if (!logLine.isEmpty())
        QVERIFY(LogCapture::lines().contains(logLine));
}

// Return (or Enter) is pressed out of habit: wherever the focus is, it must not accept a
// certificate nobody vouches for.
void TestSSLErrorDialog::returnNeverAccepts_data()
{
    QTest::addColumn<int>("focusButton");
    QTest::addColumn<int>("key");
    QTest::newRow("as opened, return") << 0 << int(Qt::Key_Return);
    QTest::newRow("as opened, enter") << 0 << int(Qt::Key_Enter);
    QTest::newRow("on accept temporarily") << int(QDialogButtonBox::Ok) << int(Qt::Key_Return);
    QTest::newRow("on accept permanently") << int(QDialogButtonBox::Save) << int(Qt::Key_Return);
    QTest::newRow("on cancel") << int(QDialogButtonBox::Cancel) << int(Qt::Key_Return);
}

void TestSSLErrorDialog::returnNeverAccepts()
{
    QFETCH(int, focusButton);
    QFETCH(int, key);
    SSLErrorDialog dialog;
    dialog.setErrors({QSslError(QSslError::SelfSignedCertificate, m_certificates.leaf())}, {m_certificates.leaf()});
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(finished.isValid());
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));

    QWidget *target = QApplication::focusWidget();
    if (focusButton) {
        target = dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::StandardButton(focusButton));
        target->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), target);
    }
    QTest::keyClick(target ? target : &dialog, Qt::Key(key));
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toInt(), int(SSLErrorDialog::Refuse));
}

void TestSSLErrorDialog::decision_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<UserAction>("action");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("storedAfter");

    QTest::newRow("new chain, accepted permanently")
        << QStringList() << UserAction::AcceptPermanently << true << true << QStringList{"leaf", "ca"};
    QTest::newRow("new chain, accepted once")
        << QStringList() << UserAction::AcceptOnce << true << true << QStringList();
    QTest::newRow("new chain, cancelled") << QStringList() << UserAction::Cancel << true << false << QStringList();
    QTest::newRow("new chain, window closed")
        << QStringList() << UserAction::CloseFrame << true << false << QStringList();
    QTest::newRow("leaf stored, accepted permanently")
        << QStringList{"leaf"} << UserAction::AcceptPermanently << true << true << QStringList{"leaf", "ca"};
    QTest::newRow("CA stored, accepted permanently")
        << QStringList{"ca"} << UserAction::AcceptPermanently << true << true << QStringList{"ca", "leaf"};
    QTest::newRow("leaf stored, cancelled")
        << QStringList{"leaf"} << UserAction::Cancel << true << false << QStringList{"leaf"};
    QTest::newRow("whole chain stored")
        << QStringList{"ca", "leaf"} << UserAction::Cancel << false << true << QStringList{"ca", "leaf"};
}

void TestSSLErrorDialog::decision()
{
    QFETCH(QStringList, stored);
    QFETCH(UserAction, action);
    QFETCH(bool, asked);
    QFETCH(bool, accepted);
    QFETCH(QStringList, storedAfter);

    TestCertificateChain::writeStoredFingerprints(hashesOf(stored));
    const QList<QSslError> errors{QSslError(QSslError::UnableToGetLocalIssuerCertificate, m_certificates.leaf())};

    QWidget window;
    DialogAnswerer answerer(action);
    QCOMPARE(SSLErrorDialog::decide(errors, m_certificates.chain(), broker, &window), accepted);
    QCOMPARE(answerer.shown(), asked ? 1 : 0);
    // The question names the broker whose certificate it is.
    if (asked)
        QVERIFY2(answerer.title().contains(broker), qPrintable(answerer.title()));
    QCOMPARE(storedHashes(), hashesOf(storedAfter));
    QCOMPARE(LogCapture::lines().contains(QStringLiteral("All certs in the chain have been previously accepted")), !asked);
    if (asked)
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Dialog result: %1").arg(int(action == UserAction::AcceptPermanently ? 2
                                                                               : accepted ? 1 : 0))));
    // The dialog of a decision does not stay around under the window.
    QTRY_COMPARE(window.findChildren<SSLErrorDialog *>().size(), 0);
}

void TestSSLErrorDialog::acceptOnceAsksAgain()
{
    const QList<QSslError> errors{QSslError(QSslError::SelfSignedCertificateInChain, m_certificates.ca())};
    {
        DialogAnswerer answerer(UserAction::AcceptOnce);
        QVERIFY(SSLErrorDialog::decide(errors, m_certificates.chain(), broker, nullptr));
        QCOMPARE(answerer.shown(), 1);
    }
    {
        DialogAnswerer answerer(UserAction::AcceptPermanently);
        QVERIFY(SSLErrorDialog::decide(errors, m_certificates.chain(), broker, nullptr));
        QCOMPARE(answerer.shown(), 1);
    }
    DialogAnswerer answerer(UserAction::Cancel);
    QVERIFY(SSLErrorDialog::decide(errors, m_certificates.chain(), broker, nullptr));
    QCOMPARE(answerer.shown(), 0);
}

void TestSSLErrorDialog::emptyChainIsAsked()
{
    // Everything stored, but a handshake without any certificate proves nothing.
    TestCertificateChain::writeStoredFingerprints(hashesOf({"leaf", "ca"}));
    DialogAnswerer answerer(UserAction::Cancel);
    QVERIFY(!SSLErrorDialog::decide({QSslError(QSslError::NoPeerCertificate)}, {}, broker, nullptr));
    QCOMPARE(answerer.shown(), 1);
    QCOMPARE(answerer.errorRows(), QStringList{QSslError(QSslError::NoPeerCertificate).errorString()});
}

void TestSSLErrorDialog::realServer()
{
    QVERIFY2(QSslSocket::supportsSsl(), "Qt finds no TLS library (libssl)");
    // The server presents a leaf certificate together with the CA that signed it.
    QSslConfiguration chain = QSslConfiguration::defaultConfiguration();
    chain.setLocalCertificateChain(m_certificates.chain());
    chain.setPrivateKey(m_certificates.leafKey());
    chain.setPeerVerifyMode(QSslSocket::VerifyNone);
    TlsTestServer server;
    server.setServerConfiguration(chain);
    QVERIFY(server.listen(QHostAddress::LocalHost));

    struct Attempt {
        UserAction action;
        bool asked;
        bool established;
        int storedCount;
    };
    const QList<Attempt> attempts{
        {UserAction::Cancel, true, false, 0},
        {UserAction::AcceptOnce, true, true, 0},
        {UserAction::AcceptPermanently, true, true, 2},
        {UserAction::Cancel, false, true, 2},
    };

    for (const Attempt &attempt : attempts) {
        LogCapture::clear();
        ZELClient client;
        ZELConnectionParameters parameters;
        parameters.setHost(QStringLiteral("127.0.0.1"));
        parameters.setPort(server.serverPort());
        client.setParameters(parameters);

        QWidget window;
        QList<QSslCertificate> chainSeen;
        connect(&client, &ZELClient::sslErrors, &window,
                [&](const QList<QSslError> &errors, const QList<QSslCertificate> &chain, bool &accept) {
                    chainSeen = chain;
                    accept = SSLErrorDialog::decide(errors, chain, parameters.host(), &window);
                },
                Qt::DirectConnection);
        QSignalSpy established(&client, &ZELClient::connectionEstablished);
        QSignalSpy terminated(&client, &ZELClient::connectionTerminated);
        QVERIFY(established.isValid());
        QVERIFY(terminated.isValid());

        DialogAnswerer answerer(attempt.action);
        client.connectToZEL();
        if (attempt.established)
            QVERIFY(established.count() == 1 || established.wait(TestEnvironment::timeout(20000)));
        else
            QVERIFY(terminated.count() == 1 || terminated.wait(TestEnvironment::timeout(20000)));

        QCOMPARE(chainSeen, m_certificates.chain());
        QCOMPARE(answerer.shown(), attempt.asked ? 1 : 0);
        QCOMPARE(established.count(), attempt.established ? 1 : 0);
        QCOMPARE(storedHashes().size(), attempt.storedCount);
        if (!attempt.asked)
            QVERIFY(LogCapture::lines().contains(QStringLiteral("All certs in the chain have been previously accepted")));
        client.disconnectFromZEL();
    }
    QCOMPARE(storedHashes(), hashesOf({"leaf", "ca"}));
}

void TestSSLErrorDialog::spanish()
{
    QTranslator translator;
    QVERIFY2(translator.load(QStringLiteral(ZEL_BINARY_DIR "/translations/ZEL_Client_es.qm")),
             "the Spanish translation is not built");
    QVERIFY(QCoreApplication::installTranslator(&translator));
    SSLErrorDialog dialog;
    dialog.setErrors({QSslError(QSslError::NoPeerCertificate)}, {});
    QCoreApplication::removeTranslator(&translator);

    auto *box = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    QCOMPARE(box->button(QDialogButtonBox::Ok)->text(), QStringLiteral("Aceptar &temporalmente"));
    QCOMPARE(box->button(QDialogButtonBox::Save)->text(), QStringLiteral("Aceptar &permanentemente"));
    QCOMPARE(box->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Cancelar"));
    auto *tabs = dialog.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("Problemas"));
    auto *tree = dialog.findChild<QTreeWidget *>(QStringLiteral("errorTree"));
    QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("Conexión"));
    QCOMPARE(tree->topLevelItem(0)->child(0)->text(0), QStringLiteral("Media"));
}

QTEST_MAIN(TestSSLErrorDialog)
#include "tst_sslerrordialog.moc"
