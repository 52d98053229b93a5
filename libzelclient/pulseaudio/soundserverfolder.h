#pragma once

#include <QString>

// The folder of one session's sound server, which only the user can open: the server's runtime
// folder (its process id, its command socket), its script, and the socket the client relays the
// VM's sound to. Its name starts with the client's process id, and a stamp in it tells that
// process apart from a later one with the same id, so that a client starting later can tell
// the servers whose client is gone from those of clients that still run.
class SoundServerFolder
{
public:
    // A new folder for a server of this client under parent, made for the user alone; empty
    // when it cannot be made.
    static QString create(const QString &parent);
    // The socket on which the server takes the VM's sound.
    static QString serverSocket(const QString &folder);
    static void remove(const QString &folder);
    // Ends the servers left in folders under parent by clients that are gone, and removes those
    // folders. The servers of clients that run, this one's included, are not touched.
    static void endAbandoned(const QString &parent);

private:
    // What tells a running process apart from a later one with the same id; empty when no
    // process has that id.
    static QString processStamp(qint64 pid);
    // Ends the process pid when it is the sound server of folder.
    static void endServer(qint64 pid, const QString &folder);
};
