#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The USB devices this client has lent to usbip-host and not given back yet, written down
// before each is lent. A client that ends without giving its devices back (a crash, a kill, a
// power cut) leaves them written down, and the next start gives them back. Each running client
// keeps a file of its own and holds it locked while it runs, so a file nobody holds is a
// leftover and another client's devices are never taken from it. The folder is the user's
// alone (0700), and so is each file (0600), both created so.
class BoundUsbDevices
{
public:
    explicit BoundUsbDevices(const QString &folder = defaultFolder());
    // The file goes when nothing is written down in it; otherwise it stays for the next start.
    ~BoundUsbDevices();
    BoundUsbDevices(const BoundUsbDevices &) = delete;
    BoundUsbDevices &operator=(const BoundUsbDevices &) = delete;

    // "USB" in the client's data folder.
    static QString defaultFolder();
    // The record of this process, in the default folder.
    static BoundUsbDevices &forThisProcess();

    // Writes down that the device at busId is about to be lent; false when that cannot be
    // written, and then it must not be lent.
    bool add(const QString &busId);
    // The device at busId is back with its driver.
    void remove(const QString &busId);
    QStringList busIds() const { return m_busIds; }

    // Starts giving back the devices that clients no longer running left lent, one after the
    // other, with the helper run by helperCommand; their files go once all their devices are
    // back. Nothing waits for it: done, when given, is called at the end with the bus ids given
    // back, in the order found.
    static void releaseLeftovers(const QStringList &helperCommand,
                                 const std::function<void(const QStringList &released)> &done = nullptr,
                                 const QString &folder = defaultFolder(),
                                 const QString &sysfsRoot = QStringLiteral("/sys"));

private:
    struct LeftoverRelease;
    static void releaseNext(const std::shared_ptr<LeftoverRelease> &release);

    bool write(char mark, const QString &busId);
    // The bus ids a file's lines leave written down: "+<bus id>" adds one, "-<bus id>" removes it.
    static QStringList entriesOf(const QByteArray &content);
    // Whether usbip-host holds the device at busId or still has its bus id in its table.
    static bool isLent(const QString &sysfsRoot, const QString &busId);

    // The platform's side: the private folder, a new file held locked, the lock of a file left
    // by a client that has ended (-1 when it is held, or unreadable), lines added at the end.
    static bool makePrivateFolder(const QString &folder);
    static int createLockedFile(const QString &folder, QString &path);
    static int lockLeftover(const QString &path);
    static bool appendLine(int file, const QByteArray &line);
    static QByteArray readAll(int file);
    static void closeFile(int file);

    QString m_folder;
    QString m_path;
    int m_file = -1;
    QStringList m_busIds;
};
