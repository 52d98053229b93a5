#include "acceptedcertificatestore.h"
#include "logcapture.h"
#include "testcertificatechain.h"
#include "testenvironment.h"

#include <QSettings>
#include <QtTest>

namespace {

const QString broker = QStringLiteral("broker.example");

QStringList storedHashes()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("SSL"));
    const int count = settings.beginReadArray(QStringLiteral("AcceptedCertificates"));
    QStringList hashes;
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        hashes << settings.value(QStringLiteral("hash")).toString();
    }
    settings.endArray();
    settings.endGroup();
    return hashes;
}

} // namespace

class TestAcceptedCertificateStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fingerprintMatchesOpenssl();
    void acceptance_data();
    void acceptance();
    void emptyChainNeverAccepted();
    void acceptChainKeepsOldEntriesFirst();
    void acceptChainOnce();
    void logLinesOfTheCheck();
    void boundToItsHost_data();
    void boundToItsHost();
    void unboundEntriesGoToTheFirstHost();

private:
    TestEnvironment m_environment;
    TestCertificateChain m_certificates;
    QString m_leafHash;
    QString m_caHash;
};

void TestAcceptedCertificateStore::initTestCase()
{
    QVERIFY2(m_certificates.create(), qPrintable(m_certificates.errorText()));
    m_leafHash = AcceptedCertificateStore::fingerprint(m_certificates.leaf());
    m_caHash = AcceptedCertificateStore::fingerprint(m_certificates.ca());
}

void TestAcceptedCertificateStore::init()
{
    TestCertificateChain::writeStoredFingerprints({});
}

void TestAcceptedCertificateStore::fingerprintMatchesOpenssl()
{
    QCOMPARE(m_leafHash.size(), 64);
    QCOMPARE(m_leafHash, m_leafHash.toLower());
    QCOMPARE(m_leafHash, m_certificates.opensslFingerprint(QStringLiteral("leaf.pem")));
    QCOMPARE(m_caHash, m_certificates.opensslFingerprint(QStringLiteral("ca.pem")));
    QVERIFY(m_leafHash != m_caHash);
}

void TestAcceptedCertificateStore::acceptance_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("pendingCount");

    QTest::newRow("nothing stored") << QStringList() << false << 2;
    QTest::newRow("leaf only") << QStringList{"LEAF"} << false << 1;
    QTest::newRow("CA only") << QStringList{"CA"} << false << 1;
    QTest::newRow("both") << QStringList{"CA", "LEAF"} << true << 0;
    QTest::newRow("both among others") << QStringList{QString(64, QLatin1Char('0')), "LEAF", "CA"} << true << 0;
    // Fingerprints are compared as written; upper-case hex is another text.
    QTest::newRow("upper-case hex") << QStringList{"CA-UPPER", "LEAF-UPPER"} << false << 2;
}

void TestAcceptedCertificateStore::acceptance()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, accepted);
    QFETCH(int, pendingCount);

    for (QString &entry : stored) {
        if (entry == QLatin1String("LEAF"))
            entry = m_leafHash;
        else if (entry == QLatin1String("CA"))
            entry = m_caHash;
        else if (entry == QLatin1String("LEAF-UPPER"))
            entry = m_leafHash.toUpper();
        else if (entry == QLatin1String("CA-UPPER"))
            entry = m_caHash.toUpper();
    }
    TestCertificateChain::writeStoredFingerprints(stored);

    AcceptedCertificateStore store;
    QCOMPARE(store.fingerprints(), stored);
    QCOMPARE(store.isChainAccepted(m_certificates.chain(), broker), accepted);
    QCOMPARE(store.pendingFingerprints(m_certificates.chain(), broker).size(), pendingCount);
    // Checking never writes.
    QCOMPARE(storedHashes(), stored);
}

void TestAcceptedCertificateStore::emptyChainNeverAccepted()
{
    TestCertificateChain::writeStoredFingerprints({m_leafHash});
    AcceptedCertificateStore store;
    QVERIFY(!store.isChainAccepted({}, broker));
    QVERIFY(store.pendingFingerprints({}, broker).isEmpty());
}

void TestAcceptedCertificateStore::acceptChainKeepsOldEntriesFirst()
{
    const QString unrelated(64, QLatin1Char('a'));
    TestCertificateChain::writeStoredFingerprints({unrelated, m_leafHash});

    AcceptedCertificateStore store;
    store.acceptChain(m_certificates.chain(), broker);
    QCOMPARE(storedHashes(), QStringList({unrelated, m_leafHash, m_caHash}));
    QVERIFY(store.isChainAccepted(m_certificates.chain(), broker));

    // Accepting again adds nothing.
    store.acceptChain(m_certificates.chain(), broker);
    QCOMPARE(storedHashes(), QStringList({unrelated, m_leafHash, m_caHash}));
}

void TestAcceptedCertificateStore::acceptChainOnce()
{
    AcceptedCertificateStore store;
    // A chain naming the same certificate twice gives one entry.
    store.acceptChain({m_certificates.leaf(), m_certificates.leaf(), m_certificates.ca()}, broker);
    QCOMPARE(storedHashes(), QStringList({m_leafHash, m_caHash}));
}

void TestAcceptedCertificateStore::logLinesOfTheCheck()
{
    TestCertificateChain::writeStoredFingerprints({m_leafHash, m_caHash});
    LogCapture::install();
    LogCapture::clear();
    const bool accepted = AcceptedCertificateStore().isChainAccepted(m_certificates.chain(), broker);

    QVERIFY(accepted);
    QVERIFY2(LogCapture::lines().contains(QStringLiteral("Hash: %1").arg(m_leafHash)), qPrintable(LogCapture::lines().join('\n')));
    QVERIFY(LogCapture::lines().contains(QStringLiteral("Hash: %1").arg(m_caHash)));
    QVERIFY(LogCapture::lines().contains(QStringLiteral("STORED: %1").arg(m_leafHash)));
    QCOMPARE(LogCapture::lines().constLast(), QStringLiteral("All certs in the chain have been previously accepted"));
}

// Entries are written as "LEAF@host" or "CA@host"; no host: stored before hosts were named.
void TestAcceptedCertificateStore::boundToItsHost_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("storedAfter");

    QTest::newRow("accepted for this broker")
        << QStringList{"LEAF@a.example", "CA@a.example"} << "a.example" << true
        << QStringList{"LEAF@a.example", "CA@a.example"};
    QTest::newRow("accepted for another broker")
        << QStringList{"LEAF@b.example", "CA@b.example"} << "a.example" << false
        << QStringList{"LEAF@b.example", "CA@b.example"};
    QTest::newRow("host in other letters") << QStringList{"LEAF@a.example", "CA@a.example"} << "A.Example" << true
                                           << QStringList{"LEAF@a.example", "CA@a.example"};
    QTest::newRow("leaf here, CA elsewhere")
        << QStringList{"LEAF@a.example", "CA@b.example"} << "a.example" << false
        << QStringList{"LEAF@a.example", "CA@b.example"};
    QTest::newRow("stored before hosts were named")
        << QStringList{"LEAF", "CA"} << "a.example" << true << QStringList{"LEAF@a.example", "CA@a.example"};
    QTest::newRow("unnamed leaf, CA elsewhere")
        << QStringList{"LEAF", "CA@b.example"} << "a.example" << false << QStringList{"LEAF", "CA@b.example"};
}

void TestAcceptedCertificateStore::boundToItsHost()
{
    QFETCH(QStringList, stored);
    QFETCH(QString, host);
    QFETCH(bool, accepted);
    QFETCH(QStringList, storedAfter);

    const auto split = [this](const QStringList &entries, QStringList *hashes, QStringList *hosts) {
        for (const QString &entry : entries) {
            *hashes << (entry.section(QLatin1Char('@'), 0, 0) == QLatin1String("LEAF") ? m_leafHash : m_caHash);
            *hosts << entry.section(QLatin1Char('@'), 1);
        }
    };
    QStringList hashes;
    QStringList hosts;
    split(stored, &hashes, &hosts);
    TestCertificateChain::writeStoredFingerprints(hashes, hosts);

    QCOMPARE(AcceptedCertificateStore().isChainAccepted(m_certificates.chain(), host), accepted);

    QStringList hashesAfter;
    QStringList hostsAfter;
    split(storedAfter, &hashesAfter, &hostsAfter);
    QStringList foundHashes;
    QStringList foundHosts;
    for (const AcceptedCertificateStore::Entry &entry : AcceptedCertificateStore().entries()) {
        foundHashes << entry.hash;
        foundHosts << entry.host;
    }
    QCOMPARE(foundHashes, hashesAfter);
    QCOMPARE(foundHosts, hostsAfter);
}

// A store written before acceptances named their host keeps working for the broker the user
// goes on using, and from then on for that broker alone.
void TestAcceptedCertificateStore::unboundEntriesGoToTheFirstHost()
{
    TestCertificateChain::writeStoredFingerprints({m_leafHash, m_caHash});
    AcceptedCertificateStore store;
    QVERIFY(store.isChainAccepted(m_certificates.chain(), QStringLiteral("a.example")));
    QVERIFY(!store.isChainAccepted(m_certificates.chain(), QStringLiteral("b.example")));
    QVERIFY(store.isChainAccepted(m_certificates.chain(), QStringLiteral("a.example")));

    // Accepting it for the second broker too adds entries for that one.
    store.acceptChain(m_certificates.chain(), QStringLiteral("b.example"));
    QVERIFY(store.isChainAccepted(m_certificates.chain(), QStringLiteral("b.example")));
    QCOMPARE(storedHashes(), QStringList({m_leafHash, m_caHash, m_leafHash, m_caHash}));
}

QTEST_GUILESS_MAIN(TestAcceptedCertificateStore)
#include "tst_acceptedcertificatestore.moc"
