#include "brokerlog.h"

#include <QDateTime>
#include <QFile>

#include <cstdio>

namespace {

QFile *s_file = nullptr;

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' '
        + levelName(type) + ": " + message.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    if (s_file) {
        s_file->write(line);
        s_file->flush();
    }
}

} // namespace

bool BrokerLog::install(const QString &logFile, QString *error)
{
    if (!logFile.isEmpty()) {
        auto *file = new QFile(logFile);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(logFile, file->errorString());
            delete file;
            return false;
        }
        s_file = file;
    }
    qInstallMessageHandler(handler);
    return true;
}

void BrokerLog::uninstall()
{
    qInstallMessageHandler(nullptr);
    delete s_file;
    s_file = nullptr;
}
