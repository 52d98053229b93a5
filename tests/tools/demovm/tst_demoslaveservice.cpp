#include "testenvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString ServiceProgram = QStringLiteral(ZEL_DEMO_SLAVE_SERVICE);
const QByteArray Key = QByteArrayLiteral("s3cr3t-Key+/=");

QByteArray slaveRequest(const QByteArray &method, const QByteArray &path, const QByteArray &key,
                        const QByteArray &upgrade)
{
    QByteArray out = method + ' ' + path + " HTTP/1.1\n";
    out += "Authorization: Basic " + key + '\n';
    out += "User-Agent: ZELClient Qt/0.01 (Linux)\n";
    out += "Connection: Upgrade\n";
    out += "Upgrade: " + upgrade + "\n\n";
    return out;
}

QByteArray switching(const QByteArray &token)
{
    return "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: " + token + "\r\n\r\n";
}

// Status code of a response, after checking its form: CR LF lines, and for a refusal a body
// of exactly the announced length, so that the client's parser completes it.
int checkedStatus(const QByteArray &response, QString *problem)
{
    const int end = response.indexOf("\r\n\r\n");
    if (!response.startsWith("HTTP/1.1 ") || end < 0) {
        *problem = QStringLiteral("not an HTTP/1.1 response: ") + QString::fromUtf8(response);
        return -1;
    }
    const int status = response.mid(9, 3).toInt();
    if (status == 101)
        return status;
    const QList<QByteArray> lines = response.left(end + 2).split('\n');
    int length = -1;
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        if (!line.endsWith('\r')) {
            *problem = QStringLiteral("header line without CR LF");
            return -1;
        }
        if (line.startsWith("Content-Length: "))
            length = line.mid(16).trimmed().toInt();
    }
    if (length != response.size() - end - 4) {
        *problem = QStringLiteral("body length %1 does not match %2").arg(response.size() - end - 4).arg(length);
        return -1;
    }
    return status;
}

} // namespace

class tst_DemoSlaveService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void keyFromFile();
    void unreadableKeyFileRefusesAll();
    void requestInPieces();
    void silentPeerTimesOut();
    void peerClosesBeforeRequestEnds();
    void oversizedHead();
    void sftpAgainstRealServer_data();
    void sftpAgainstRealServer();
    void sftpUnanswered_data();
    void sftpUnanswered();
    void sftpPeerSpeaksNonsense_data();
    void sftpPeerSpeaksNonsense();
    void socketAsStandardInputAndOutput();
    void concurrentServicesShareOneReport();

private:
    QProcess *startProgram(const QString &program, const QStringList &arguments,
                           const QMap<QString, QString> &environment, const QString &workingDirectory = QString());
    QProcess *startService(const QMap<QString, QString> &environment);
    bool waitFinished(QProcess *process, int timeout = 20000);
    QList<QJsonObject> reportLines() const;
    QByteArray reportText() const;
    QString makeShare(const QString &name);
    QJsonObject runSftp(const QString &folder, const QByteArray &requestFolder,
                        const QMap<QString, QString> &environment);
    QString logs() const;

    TestEnvironment m_env;
    QTemporaryDir m_dir;
    QString m_report;
    QList<QPointer<QProcess>> m_processes;
    int m_run = 0;
};

void tst_DemoSlaveService::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(QFile::exists(ServiceProgram), qPrintable(ServiceProgram));
    QVERIFY(m_dir.isValid());
}

void tst_DemoSlaveService::init()
{
    m_report = m_dir.filePath(QStringLiteral("report-%1.jsonl").arg(++m_run));
}

void tst_DemoSlaveService::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << logs();
    for (const QPointer<QProcess> &process : qAsConst(m_processes)) {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(TestEnvironment::timeout(5000));
        }
        delete process;
    }
    m_processes.clear();
}

QString tst_DemoSlaveService::logs() const
{
    QString text = QStringLiteral("report:\n") + QString::fromUtf8(reportText());
    for (const QPointer<QProcess> &process : m_processes) {
        if (process)
            text += QStringLiteral("\n%1 said:\n%2").arg(process->program(),
                                                          QString::fromLocal8Bit(process->readAllStandardError()));
    }
    return text;
}

QProcess *tst_DemoSlaveService::startProgram(const QString &program, const QStringList &arguments,
                                             const QMap<QString, QString> &environment,
                                             const QString &workingDirectory)
{
    auto *process = new QProcess;
    m_processes.append(process);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : env.keys()) {
        if (name.startsWith(QLatin1String("ZEL_SLAVE_")))
            env.remove(name);
    }
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process->setProcessEnvironment(env);
    if (!workingDirectory.isEmpty())
        process->setWorkingDirectory(workingDirectory);
    process->start(program, arguments);
    if (!process->waitForStarted(TestEnvironment::timeout(10000)))
        qWarning() << "cannot start" << program << process->errorString();
    return process;
}

QProcess *tst_DemoSlaveService::startService(const QMap<QString, QString> &environment)
{
    QMap<QString, QString> env = environment;
    env.insert(QStringLiteral("ZEL_SLAVE_REPORT"), m_report);
    return startProgram(ServiceProgram, {}, env);
}

bool tst_DemoSlaveService::waitFinished(QProcess *process, int timeout)
{
    if (process->state() == QProcess::NotRunning)
        return true;
    QSignalSpy finished(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    return finished.isValid() && finished.wait(TestEnvironment::timeout(timeout));
}

QByteArray tst_DemoSlaveService::reportText() const
{
    QFile file(m_report);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QJsonObject> tst_DemoSlaveService::reportLines() const
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : reportText().split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            qWarning() << "report line is not a JSON object:" << line;
            lines.append(QJsonObject { { QStringLiteral("invalid"), QString::fromUtf8(line) } });
            continue;
        }
        lines.append(document.object());
    }
    return lines;
}

void tst_DemoSlaveService::answers_data()
{
    QTest::addColumn<bool>("keySet");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("keyCheck");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("lineEnd");

    QTest::newRow("share") << true << Key << slaveRequest("PUT", "/shares/data", Key, "zel:sftp/1.0") << 101
                           << "accepted" << "data" << "LF";
    QTest::newRow("share with blank") << true << Key
                                      << slaveRequest("PUT", "/shares/C:/My Files", Key, "zel:sftp/1.0") << 101
                                      << "accepted" << "C:/My Files" << "LF";
    QTest::newRow("absolute folder") << true << Key << slaveRequest("PUT", "/shares//home/u/a b", Key, "zel:sftp/1.0")
                                     << 101 << "accepted" << "/home/u/a b" << "LF";
    QTest::newRow("usbip") << true << Key << slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0") << 101
                           << "accepted" << QString() << "LF";
    QTest::newRow("empty key") << true << QByteArray() << slaveRequest("POST", "/usbip", "", "zel:usbip/1.0")
                               << 101 << "accepted" << QString() << "LF";
    QTest::newRow("CRLF lines") << true << Key
                                << slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0").replace("\n", "\r\n")
                                << 101 << "accepted" << QString() << "CRLF";
    QTest::newRow("header names in other case")
        << true << Key
        << QByteArray("POST /usbip HTTP/1.1\nauthorization: Basic " + Key
                      + "\nconnection: keep-alive, upgrade\nupgrade: zel:usbip/1.0\n\n")
        << 101 << "accepted" << QString() << "LF";
    QTest::newRow("wrong key") << true << Key << slaveRequest("PUT", "/shares/data", "s3cr3t-Kez+/=", "zel:sftp/1.0")
                               << 401 << "wrong" << QString() << "LF";
    QTest::newRow("key with a prefix") << true << Key
                                       << slaveRequest("PUT", "/shares/data", "x" + Key, "zel:sftp/1.0") << 401
                                       << "wrong" << QString() << "LF";
    QTest::newRow("key encoded again") << true << Key
                                       << slaveRequest("PUT", "/shares/data", Key.toBase64(), "zel:sftp/1.0")
                                       << 401 << "wrong" << QString() << "LF";
    QTest::newRow("empty key where one is expected")
        << true << Key << slaveRequest("POST", "/usbip", "", "zel:usbip/1.0") << 401 << "wrong" << QString() << "LF";
    QTest::newRow("no Authorization") << true << Key << QByteArray("POST /usbip HTTP/1.1\nUpgrade: zel:usbip/1.0\n\n")
                                      << 401 << "missing" << QString() << "LF";
    QTest::newRow("two Authorization headers")
        << true << Key
        << QByteArray("POST /usbip HTTP/1.1\nAuthorization: Basic " + Key + "\nAuthorization: Basic " + Key
                      + "\nConnection: Upgrade\nUpgrade: zel:usbip/1.0\n\n")
        << 401 << "wrong" << QString() << "LF";
    QTest::newRow("no key configured") << false << QByteArray()
                                       << slaveRequest("POST", "/usbip", "", "zel:usbip/1.0") << 401
                                       << "unconfigured" << QString() << "LF";
    QTest::newRow("wrong key on unknown path") << true << Key << slaveRequest("GET", "/", "nope", "x") << 401
                                               << "wrong" << QString() << "LF";
    QTest::newRow("unknown path") << true << Key << slaveRequest("GET", "/", Key, "zel:sftp/1.0") << 404
                                  << "accepted" << QString() << "LF";
    QTest::newRow("share without folder") << true << Key << slaveRequest("PUT", "/shares/", Key, "zel:sftp/1.0")
                                          << 404 << "accepted" << QString() << "LF";
    QTest::newRow("share with usbip token") << true << Key
                                            << slaveRequest("PUT", "/shares/data", Key, "zel:usbip/1.0") << 404
                                            << "accepted" << QString() << "LF";
    QTest::newRow("share with GET") << true << Key << slaveRequest("GET", "/shares/data", Key, "zel:sftp/1.0")
                                    << 404 << "accepted" << QString() << "LF";
    QTest::newRow("usbip without upgrade")
        << true << Key << QByteArray("POST /usbip HTTP/1.1\nAuthorization: Basic " + Key + "\n\n") << 404
        << "accepted" << QString() << "LF";
    QTest::newRow("garbage") << true << Key << QByteArray("hello\n\n") << 400 << QString() << QString() << "LF";
    QTest::newRow("not HTTP") << true << Key << QByteArray("PUT /shares/x SSH/2.0\n\n") << 400 << QString()
                              << QString() << "LF";
    QTest::newRow("header without name") << true << Key
                                         << QByteArray("POST /usbip HTTP/1.1\n: Basic " + Key + "\n\n") << 400
                                         << QString() << QString() << "LF";
}

void tst_DemoSlaveService::answers()
{
    QFETCH(bool, keySet);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QString, keyCheck);
    QFETCH(QString, folder);
    QFETCH(QString, lineEnd);

    QMap<QString, QString> env;
    if (keySet)
        env.insert(QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(key));
    QProcess *service = startService(env);
    const qint64 pid = service->processId();
    service->write(request);
    service->closeWriteChannel();
    QVERIFY2(waitFinished(service), "the service did not end");
    QCOMPARE(service->exitStatus(), QProcess::NormalExit);
    QCOMPARE(service->exitCode(), 0);

    const QByteArray response = service->readAllStandardOutput();
    QString problem;
    QCOMPARE(checkedStatus(response, &problem), status);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    if (status == 101) {
        const QByteArray token = request.contains("/usbip") ? "zel:usbip/1.0" : "zel:sftp/1.0";
        QVERIFY2(response.startsWith(switching(token)), response.constData());
    }

    const QList<QJsonObject> lines = reportLines();
    QVERIFY(!lines.isEmpty());
    const QJsonObject entry = lines.first();
    QCOMPARE(entry.value("event").toString(), QStringLiteral("request"));
    QCOMPARE(entry.value("status").toInt(), status);
    QCOMPARE(entry.value("key").toString(), keyCheck);
    QCOMPARE(entry.value("folder").toString(), folder);
    QCOMPARE(entry.value("lineEnd").toString(), lineEnd);
    QCOMPARE(entry.value("pid").toInt(), int(pid));
    if (status != 400) {
        const QByteArray firstLine = request.left(request.indexOf('\n')).trimmed();
        QCOMPARE(entry.value("method").toString().toUtf8(), firstLine.left(firstLine.indexOf(' ')));
        QCOMPARE(entry.value("target").toString().toUtf8(),
                 firstLine.mid(firstLine.indexOf(' ') + 1, firstLine.lastIndexOf(' ') - firstLine.indexOf(' ') - 1));
    }
    if (request.contains("/usbip") && status == 101) {
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(1).value("event").toString(), QStringLiteral("usbip"));
    }
    // The head is reported as it came, except for the credential.
    QByteArray masked = request;
    masked.replace("Basic " + Key, "Basic <hidden>");
    QVERIFY2(!reportText().contains(Key), "the report shows the slave key");
    if (status != 400 && keyCheck != QLatin1String("wrong"))
        QCOMPARE(entry.value("head").toString().toUtf8(), masked);
}

void tst_DemoSlaveService::keyFromFile()
{
    const QString keyFile = m_dir.filePath(QStringLiteral("key"));
    QFile file(keyFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Key + "\n");
    file.close();

    // The file wins over the variable.
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY_FILE"), keyFile },
                                       { QStringLiteral("ZEL_SLAVE_KEY"), QStringLiteral("other") } });
    service->write(slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0"));
    service->closeWriteChannel();
    QVERIFY(waitFinished(service));
    QCOMPARE(service->readAllStandardOutput(), switching("zel:usbip/1.0"));
    QCOMPARE(reportLines().value(0).value("key").toString(), QStringLiteral("accepted"));
}

void tst_DemoSlaveService::unreadableKeyFileRefusesAll()
{
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY_FILE"), m_dir.filePath("missing-key") },
                                       { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) } });
    service->write(slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0"));
    service->closeWriteChannel();
    QVERIFY(waitFinished(service));
    QVERIFY(service->readAllStandardOutput().startsWith("HTTP/1.1 401 "));
    const QJsonObject entry = reportLines().value(0);
    QCOMPARE(entry.value("key").toString(), QStringLiteral("unconfigured"));
    QVERIFY2(entry.value("error").toString().contains("key file"), qPrintable(entry.value("error").toString()));
}

void tst_DemoSlaveService::requestInPieces()
{
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) } });
    const QByteArray request = slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0");
    for (const char c : request) {
        service->write(&c, 1);
        QVERIFY(service->waitForBytesWritten(TestEnvironment::timeout(5000)));
    }
    QVERIFY(waitFinished(service));
    QCOMPARE(service->readAllStandardOutput(), switching("zel:usbip/1.0"));
    QCOMPARE(reportLines().value(0).value("status").toInt(), 101);
}

void tst_DemoSlaveService::silentPeerTimesOut()
{
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) },
                                       { QStringLiteral("ZEL_SLAVE_REQUEST_TIMEOUT_MS"), QStringLiteral("200") } });
    service->write("PUT /shares/x HTTP/1.1\n");
    QVERIFY2(waitFinished(service), "a silent peer keeps the service forever");
    QCOMPARE(service->exitCode(), 0);
    QVERIFY(service->readAllStandardOutput().startsWith("HTTP/1.1 408 "));
    const QJsonObject entry = reportLines().value(0);
    QCOMPARE(entry.value("error").toString(), QStringLiteral("no complete request in time"));
    QCOMPARE(entry.value("partial").toString(), QStringLiteral("PUT /shares/x HTTP/1.1\n"));
}

void tst_DemoSlaveService::peerClosesBeforeRequestEnds()
{
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) } });
    service->write("POST /usbip HTTP/1.1\nAuthorization: Basic " + Key + "\nUser-Agent: ZEL");
    service->closeWriteChannel();
    QVERIFY(waitFinished(service));
    QCOMPARE(service->exitCode(), 0);
    QVERIFY(service->readAllStandardOutput().isEmpty());
    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first().value("error").toString(), QStringLiteral("connection ended before a complete request"));
    // What came is reported up to the last whole line, the credential masked.
    QCOMPARE(lines.first().value("partial").toString(),
             QStringLiteral("POST /usbip HTTP/1.1\nAuthorization: Basic <hidden>\n"));
    QVERIFY(!reportText().contains(Key));
}

void tst_DemoSlaveService::oversizedHead()
{
    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) } });
    QByteArray request = "PUT /shares/x HTTP/1.1\n";
    for (int i = 0; i < 100; ++i)
        request += "X-Filler-" + QByteArray::number(i) + ": " + QByteArray(1000, 'f') + '\n';
    request += '\n';
    service->write(request);
    service->closeWriteChannel();
    QVERIFY(waitFinished(service));
    QVERIFY(service->readAllStandardOutput().startsWith("HTTP/1.1 400 "));
    QCOMPARE(reportLines().value(0).value("error").toString(), QStringLiteral("request head too long"));
}

QString tst_DemoSlaveService::makeShare(const QString &name)
{
    const QString folder = m_dir.filePath(name);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("/sub"));
    auto write = [&folder](const QString &file, const QByteArray &content) {
        QFile f(folder + QLatin1Char('/') + file);
        f.open(QIODevice::WriteOnly);
        f.write(content);
    };
    write(QStringLiteral("b.txt"), "second file\n");
    write(QStringLiteral("a file.txt"), "first file, with a blank in its name\n");
    QByteArray big(100000, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char &c : big)
        c = char(generator.generate());
    write(QStringLiteral("big.bin"), big);
    return folder;
}

// Runs the service for a share request and, after the switch, joins its connection to a
// real sftp-server started in the folder, the way the client hands the connection over.
QJsonObject tst_DemoSlaveService::runSftp(const QString &folder, const QByteArray &requestFolder,
                                          const QMap<QString, QString> &environment)
{
    QProcess *sftp = startProgram(TestEnvironment::sftpServer(), { QStringLiteral("-e"), QStringLiteral("-l"), QStringLiteral("INFO") },
                                  {}, folder);
    QMap<QString, QString> env = environment;
    env.insert(QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key));
    QProcess *service = startService(env);

    QByteArray head;
    bool upgraded = false;
    // The joins refer to this function's locals: they must not outlive it.
    QList<QMetaObject::Connection> joins;
    auto unjoin = qScopeGuard([&joins] {
        for (const QMetaObject::Connection &join : qAsConst(joins))
            QObject::disconnect(join);
    });
    joins << connect(service, &QProcess::readyReadStandardOutput, sftp, [&, service, sftp] {
        QByteArray data = service->readAllStandardOutput();
        if (!upgraded) {
            head += data;
            const int end = head.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            upgraded = true;
            data = head.mid(end + 4);
            head.truncate(end + 4);
        }
        sftp->write(data);
    });
    joins << connect(sftp, &QProcess::readyReadStandardOutput, service,
                     [service, sftp] { service->write(sftp->readAllStandardOutput()); });
    joins << connect(service, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), sftp,
            [sftp] { sftp->closeWriteChannel(); });

    service->write(slaveRequest("PUT", "/shares/" + requestFolder, Key, "zel:sftp/1.0"));
    if (!waitFinished(service) || !waitFinished(sftp))
        return QJsonObject { { QStringLiteral("result"), QStringLiteral("test: a process did not end") } };
    if (head != switching("zel:sftp/1.0"))
        return QJsonObject { { QStringLiteral("result"), QStringLiteral("test: no switch") } };
    const QList<QJsonObject> lines = reportLines();
    if (lines.size() != 2 || lines.at(0).value("status").toInt() != 101)
        return QJsonObject { { QStringLiteral("result"), QStringLiteral("test: unexpected report") } };
    return lines.at(1);
}

void tst_DemoSlaveService::sftpAgainstRealServer_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("requestOtherPath");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("readName");
    // Read requests in flight at once; more than one: the file is also copied.
    QTest::addColumn<int>("inFlight");

    QTest::newRow("first file by name") << "share" << false << QString() << "ok" << "a file.txt" << 1;
    QTest::newRow("named file") << "share" << false << "b.txt" << "ok" << "b.txt" << 1;
    QTest::newRow("file read in several pieces") << "share" << false << "big.bin" << "ok" << "big.bin" << 1;
    QTest::newRow("folder with blank") << "my share" << false << QString() << "ok" << "a file.txt" << 1;
    QTest::newRow("path the server does not know") << "share" << true << "b.txt" << "ok" << "b.txt" << 1;
    QTest::newRow("file read with 16 requests in flight, copied") << "share" << false << "big.bin" << "ok"
                                                                  << "big.bin" << 16;
    QTest::newRow("short file read with 16 requests in flight, copied") << "share" << false << "b.txt" << "ok"
                                                                        << "b.txt" << 16;
    QTest::newRow("missing file") << "share" << false << "missing.txt" << "error" << "missing.txt" << 1;
}

void tst_DemoSlaveService::sftpAgainstRealServer()
{
    QFETCH(QString, folderName);
    QFETCH(bool, requestOtherPath);
    QFETCH(QString, wanted);
    QFETCH(QString, result);
    QFETCH(QString, readName);
    QFETCH(int, inFlight);
    ZEL_REQUIRE("sftp-server");

    const QString folder = makeShare(folderName);
    QMap<QString, QString> env;
    if (!wanted.isEmpty())
        env.insert(QStringLiteral("ZEL_SLAVE_SFTP_FILE"), wanted);
    const QString copy = m_dir.filePath(QStringLiteral("copy-%1").arg(m_run));
    if (inFlight > 1) {
        env.insert(QStringLiteral("ZEL_SLAVE_SFTP_READS_IN_FLIGHT"), QString::number(inFlight));
        env.insert(QStringLiteral("ZEL_SLAVE_SFTP_COPY"), copy);
    }
    // A folder path that means nothing on the serving side (a Windows path) falls back to
    // the server's own start folder, which the client sets to the shared folder.
    const QByteArray requestFolder = requestOtherPath ? QByteArray("C:/Users/u/Shared Data") : folder.toUtf8();
    const QJsonObject sftp = runSftp(folder, requestFolder, env);

    QCOMPARE(sftp.value("event").toString(), QStringLiteral("sftp"));
    QCOMPARE(sftp.value("folder").toString().toUtf8(), requestFolder);
    QCOMPARE(sftp.value("result").toString(), result);
    QCOMPARE(sftp.value("serverVersion").toInt(), 3);
    QCOMPARE(sftp.value("directory").toString(), requestOtherPath ? QStringLiteral(".") : folder);
    QCOMPARE(sftp.contains("folderError"), requestOtherPath);

    QStringList names;
    QStringList types;
    for (const QJsonValue &entry : sftp.value("entries").toArray()) {
        names << entry.toObject().value("name").toString();
        types << entry.toObject().value("type").toString();
    }
    QCOMPARE(names, QStringList({ "a file.txt", "b.txt", "big.bin", "sub" }));
    QCOMPARE(types, QStringList({ "file", "file", "file", "directory" }));
    QCOMPARE(sftp.value("entries").toArray().at(1).toObject().value("size").toInt(), 12);

    const QJsonObject file = sftp.value("file").toObject();
    QCOMPARE(file.value("name").toString(), readName);
    if (result == QLatin1String("error")) {
        QVERIFY2(sftp.value("error").toString().startsWith("open: status 2"),
                 qPrintable(sftp.value("error").toString()));
        return;
    }
    QFile local(folder + QLatin1Char('/') + readName);
    QVERIFY(local.open(QIODevice::ReadOnly));
    const QByteArray content = local.readAll();
    QCOMPARE(file.value("size").toInt(), content.size());
    QCOMPARE(file.value("sha256").toString().toLatin1(),
             QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    if (content.size() <= 65536)
        QCOMPARE(QByteArray::fromBase64(file.value("contentBase64").toString().toLatin1()), content);
    else
        QVERIFY(!file.contains("contentBase64"));
    QVERIFY(file.value("readEnded").toDouble() >= file.value("readStarted").toDouble());
    if (inFlight > 1) {
        QFile copied(copy);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QVERIFY(copied.readAll() == content);
    }
}

void tst_DemoSlaveService::sftpUnanswered_data()
{
    QTest::addColumn<bool>("closeConnection");
    QTest::addColumn<QString>("result");

    QTest::newRow("client side stays silent") << false << "no-answer";
    QTest::newRow("client side closes") << true << "closed";
}

void tst_DemoSlaveService::sftpUnanswered()
{
    QFETCH(bool, closeConnection);
    QFETCH(QString, result);

    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) },
                                       { QStringLiteral("ZEL_SLAVE_SFTP_TIMEOUT_MS"), QStringLiteral("200") } });
    service->write(slaveRequest("PUT", "/shares/data", Key, "zel:sftp/1.0"));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += service->readAllStandardOutput()).contains("\r\n\r\n"),
                             TestEnvironment::timeout(10000));
    if (closeConnection)
        service->closeWriteChannel();
    QVERIFY2(waitFinished(service), "the service did not end");
    QCOMPARE(service->exitStatus(), QProcess::NormalExit);
    QCOMPARE(service->exitCode(), 0);
    out += service->readAllStandardOutput();
    // The opening SFTP packet went out after the switch: length 5, type 1, version 3.
    QCOMPARE(out, switching("zel:sftp/1.0") + QByteArray::fromHex("000000050100000003"));

    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(1).value("event").toString(), QStringLiteral("sftp"));
    QCOMPARE(lines.at(1).value("result").toString(), result);
}

void tst_DemoSlaveService::sftpPeerSpeaksNonsense_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("error");

    QTest::newRow("wrong packet type") << QByteArray::fromHex("000000050500000003") << "init: unexpected reply type 5";
    QTest::newRow("huge length") << QByteArray::fromHex("ffffffff02") << "reply packet of 4294967295 bytes";
    QTest::newRow("empty packet") << QByteArray::fromHex("00000000") << "reply packet of 0 bytes";
    QTest::newRow("not SFTP at all") << QByteArray("HTTP/1.1 200 OK\r\n\r\n") << "reply packet of 1213486160 bytes";
}

void tst_DemoSlaveService::sftpPeerSpeaksNonsense()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, error);

    QProcess *service = startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) },
                                       { QStringLiteral("ZEL_SLAVE_SFTP_TIMEOUT_MS"), QStringLiteral("5000") } });
    service->write(slaveRequest("PUT", "/shares/data", Key, "zel:sftp/1.0"));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += service->readAllStandardOutput()).contains("\r\n\r\n"),
                             TestEnvironment::timeout(10000));
    service->write(answer);
    QVERIFY2(waitFinished(service), "the service did not end");
    QCOMPARE(service->exitStatus(), QProcess::NormalExit);
    QCOMPARE(service->exitCode(), 0);

    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(1).value("result").toString(), QStringLiteral("error"));
    QCOMPARE(lines.at(1).value("error").toString(), error);
}

// nxagent gives the service one socket as standard input and output; socat's EXEC does the same.
void tst_DemoSlaveService::socketAsStandardInputAndOutput()
{
    const QString socat = TestEnvironment::program(QStringLiteral("socat"));
    QVERIFY2(!socat.isEmpty(), "socat is not installed");
    const QString folder = makeShare(QStringLiteral("socket share"));
    // socat takes a free port and names it in its log.
    QProcess *relay = startProgram(socat,
                                   { QStringLiteral("-d"), QStringLiteral("-d"),
                                     QStringLiteral("TCP-LISTEN:0,bind=127.0.0.1"),
                                     QStringLiteral("EXEC:%1").arg(ServiceProgram) },
                                   { { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) },
                                     { QStringLiteral("ZEL_SLAVE_REPORT"), m_report } });
    QByteArray relayLog;
    QTRY_VERIFY_WITH_TIMEOUT((relayLog += relay->readAllStandardError()).contains("listening on"),
                             TestEnvironment::timeout(10000));
    const QRegularExpressionMatch listening = QRegularExpression(QStringLiteral("listening on AF=2 127\\.0\\.0\\.1:(\\d+)"))
                                                  .match(QString::fromLatin1(relayLog));
    QVERIFY2(listening.hasMatch(), relayLog.constData());
    const quint16 port = static_cast<quint16>(listening.captured(1).toUInt());

    QProcess *sftp = startProgram(TestEnvironment::sftpServer(), { QStringLiteral("-e") }, {}, folder);
    QTcpSocket socket;
    QSignalSpy disconnected(&socket, &QTcpSocket::disconnected);
    QVERIFY(disconnected.isValid());
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(TestEnvironment::timeout(10000)));
    socket.write(slaveRequest("PUT", "/shares/" + folder.toUtf8(), Key, "zel:sftp/1.0"));

    QByteArray head;
    QTRY_VERIFY_WITH_TIMEOUT((head += socket.read(qMax<qint64>(0, 80 - head.size()))).size() == 80,
                             TestEnvironment::timeout(10000));
    QCOMPARE(head, switching("zel:sftp/1.0"));
    // From here on the connection belongs to the SFTP server.
    connect(&socket, &QTcpSocket::readyRead, sftp, [&socket, sftp] { sftp->write(socket.readAll()); });
    connect(sftp, &QProcess::readyReadStandardOutput, &socket, [&socket, sftp] { socket.write(sftp->readAllStandardOutput()); });
    sftp->write(socket.readAll());

    QVERIFY2(disconnected.wait(TestEnvironment::timeout(20000)) || socket.state() == QAbstractSocket::UnconnectedState,
             "the service did not close the connection");
    sftp->closeWriteChannel();
    QVERIFY(waitFinished(sftp));
    QVERIFY(waitFinished(relay));

    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(1).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(lines.at(1).value("directory").toString(), folder);
    QCOMPARE(lines.at(1).value("file").toObject().value("name").toString(), QStringLiteral("a file.txt"));
    QCOMPARE(lines.at(1).value("entries").toArray().size(), 4);
}

void tst_DemoSlaveService::concurrentServicesShareOneReport()
{
    const int count = 8;
    QList<QProcess *> services;
    QSet<int> pids;
    for (int i = 0; i < count; ++i) {
        services << startService({ { QStringLiteral("ZEL_SLAVE_KEY"), QString::fromLatin1(Key) } });
        pids.insert(int(services.last()->processId()));
    }
    for (QProcess *service : services) {
        service->write(slaveRequest("POST", "/usbip", Key, "zel:usbip/1.0"));
        service->closeWriteChannel();
    }
    for (QProcess *service : services)
        QVERIFY(waitFinished(service));

    const QList<QJsonObject> lines = reportLines();
    QCOMPARE(lines.size(), 2 * count);
    QSet<int> reported;
    for (const QJsonObject &line : lines) {
        QVERIFY2(!line.contains("invalid"), "two services wrote into one line");
        reported.insert(line.value("pid").toInt());
    }
    QCOMPARE(reported, pids);
}

QTEST_GUILESS_MAIN(tst_DemoSlaveService)
#include "tst_demoslaveservice.moc"
