#pragma once

#include <QByteArray>
#include <QString>

// What the service learns from its environment. nxagent starts the service for every
// slave connection and passes its own environment on, so whoever starts nxagent sets these.
class ServiceConfig
{
public:
    // Reads ZEL_SLAVE_KEY_FILE (a file whose first line is the key) or else ZEL_SLAVE_KEY,
    // ZEL_SLAVE_REPORT, the SFTP settings below and the two time limits.
    static ServiceConfig fromEnvironment();

    // False when no key was given: then every request is refused.
    bool hasKey = false;
    QByteArray key;
    // Set when the key file was named but could not be read.
    QString keyProblem;

    QString reportPath;
    // Name of the file to read from a shared folder; empty: the first regular file by name.
    QString sftpFile;
    // After reading, the file written into the shared folder (ZEL_SLAVE_SFTP_WRITE); empty: none.
    QString sftpWriteFile;
    // A path outside the shared folder that the service tries to open (ZEL_SLAVE_SFTP_PROBE);
    // the report tells whether the server let it. Empty: no try.
    QString sftpProbePath;
    // ZEL_SLAVE_SFTP_ENVIRON=1: the service reads the environment files of the server's
    // processes (/proc/self/environ, /proc/1/environ); the report names their variables.
    bool sftpReadEnvironment = false;
    // A path the service tries to make a symbolic link to, in the shared folder, along with a
    // hard link to the file it read (ZEL_SLAVE_SFTP_LINK); the report has the server's answers.
    QString sftpLinkTarget;
    // Read requests of the file that wait for their answers together (ZEL_SLAVE_SFTP_READS_IN_FLIGHT,
    // default 1: one block at a time); SFTP clients that copy files keep 16 or more in flight.
    int sftpReadsInFlight = 1;
    // Where the file read from a shared folder is copied to (ZEL_SLAVE_SFTP_COPY); the whole
    // file is then read. Empty: no copy, and at most the first 16 MiB are read.
    QString sftpCopyPath;
    // How long the service waits after the switch before it speaks SFTP (ZEL_SLAVE_SFTP_DELAY_MS,
    // default 0), as a VM whose user opens the folder a while after the session came up.
    int sftpDelayMs = 0;
    // A folder whose share request is answered 404 (ZEL_SLAVE_REFUSED_SHARE); empty: none.
    QString refusedShare;
    // ZEL_SLAVE_SFTP_KEEP_OPEN=1: after its work the service keeps the SFTP connection until
    // the client side closes it, as a VM that goes on using the folder does.
    bool sftpKeepOpen = false;
    // The text file in which the service notes the files it saw in each shared folder, for
    // the VM's desktop to show (ZEL_SLAVE_SHARES_LIST, default "shared-folders.txt" in HOME).
    QString sharesListPath;
    int requestTimeoutMs = 30000;
    int sftpTimeoutMs = 10000;
};
