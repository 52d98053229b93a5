#pragma once

#include <QJsonObject>
#include <QString>

// The report file: one JSON object per line, appended. Several service processes (one per
// slave connection) may write to the same file at once; each line goes out in one append.
class ServiceReport
{
public:
    explicit ServiceReport(const QString &path);

    // Adds "time" and "pid" and appends the line. Without a path nothing is written.
    void append(QJsonObject entry) const;

private:
    QString m_path;
};
