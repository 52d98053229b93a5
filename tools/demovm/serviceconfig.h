#pragma once

#include <QByteArray>
#include <QString>

// What the service learns from its environment. nxagent starts the service for every
// slave connection and passes its own environment on, so whoever starts nxagent sets these.
class ServiceConfig
{
public:
    // Reads ZEL_SLAVE_KEY_FILE (a file whose first line is the key) or else ZEL_SLAVE_KEY,
    // ZEL_SLAVE_REPORT, ZEL_SLAVE_SFTP_FILE and the two time limits.
    static ServiceConfig fromEnvironment();

    // False when no key was given: then every request is refused.
    bool hasKey = false;
    QByteArray key;
    // Set when the key file was named but could not be read.
    QString keyProblem;

    QString reportPath;
    // Name of the file to read from a shared folder; empty: the first regular file by name.
    QString sftpFile;
    int requestTimeoutMs = 30000;
    int sftpTimeoutMs = 10000;
};
