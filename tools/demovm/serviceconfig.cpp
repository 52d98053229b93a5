#include "serviceconfig.h"

#include <QFile>

namespace {

int timeFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

ServiceConfig ServiceConfig::fromEnvironment()
{
    ServiceConfig config;

    const QString keyFile = qEnvironmentVariable("ZEL_SLAVE_KEY_FILE");
    if (!keyFile.isEmpty()) {
        QFile file(keyFile);
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray line = file.readLine(4096);
            while (line.endsWith('\n') || line.endsWith('\r'))
                line.chop(1);
            config.key = line;
            config.hasKey = true;
        } else {
            config.keyProblem = QStringLiteral("cannot read the key file: ") + file.errorString();
        }
    } else if (qEnvironmentVariableIsSet("ZEL_SLAVE_KEY")) {
        config.key = qgetenv("ZEL_SLAVE_KEY");
        config.hasKey = true;
    }

    config.reportPath = qEnvironmentVariable("ZEL_SLAVE_REPORT");
    config.sftpFile = qEnvironmentVariable("ZEL_SLAVE_SFTP_FILE");
    config.sftpWriteFile = qEnvironmentVariable("ZEL_SLAVE_SFTP_WRITE");
    config.sftpProbePath = qEnvironmentVariable("ZEL_SLAVE_SFTP_PROBE");
    config.sftpReadEnvironment = qEnvironmentVariableIntValue("ZEL_SLAVE_SFTP_ENVIRON") == 1;
    config.sftpLinkTarget = qEnvironmentVariable("ZEL_SLAVE_SFTP_LINK");
    config.sftpReadsInFlight = qMax(1, qEnvironmentVariableIntValue("ZEL_SLAVE_SFTP_READS_IN_FLIGHT"));
    config.sftpCopyPath = qEnvironmentVariable("ZEL_SLAVE_SFTP_COPY");
    config.sftpDelayMs = qMax(0, qEnvironmentVariableIntValue("ZEL_SLAVE_SFTP_DELAY_MS"));
    config.refusedShare = qEnvironmentVariable("ZEL_SLAVE_REFUSED_SHARE");
    config.sftpKeepOpen = qEnvironmentVariableIntValue("ZEL_SLAVE_SFTP_KEEP_OPEN") == 1;
    config.sharesListPath = qEnvironmentVariable("ZEL_SLAVE_SHARES_LIST");
    if (config.sharesListPath.isEmpty() && !qEnvironmentVariableIsEmpty("HOME"))
        config.sharesListPath = qEnvironmentVariable("HOME") + QStringLiteral("/shared-folders.txt");
    config.requestTimeoutMs = timeFromEnvironment("ZEL_SLAVE_REQUEST_TIMEOUT_MS", config.requestTimeoutMs);
    config.sftpTimeoutMs = timeFromEnvironment("ZEL_SLAVE_SFTP_TIMEOUT_MS", config.sftpTimeoutMs);
    return config;
}
