#include "servicereport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>

ServiceReport::ServiceReport(const QString &path)
    : m_path(path)
{
}

void ServiceReport::append(QJsonObject entry) const
{
    if (m_path.isEmpty())
        return;
    entry.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    entry.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';

    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)
        || file.write(line) != line.size())
        qWarning().nospace() << "Cannot write the report " << m_path << ": " << file.errorString();
}
