#include "boundusbdevices.h"

#include "helpers/pathtools.h"
#include "usbbindhelper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const char LeftoverPattern[] = "bound-*";

bool isRecordedBusId(const QString &text)
{
    static const QRegularExpression busId(QStringLiteral("^[1-9][0-9]{0,2}-[1-9][0-9]{0,2}(\\.[1-9][0-9]{0,2}){0,7}$"));
    return busId.match(text).hasMatch();
}

} // namespace

BoundUsbDevices::BoundUsbDevices(const QString &folder)
    : m_folder(folder)
{
}

BoundUsbDevices::~BoundUsbDevices()
{
    if (m_file < 0)
        return;
    if (m_busIds.isEmpty())
        QFile::remove(m_path);
    else
        qWarning().noquote() << "USB devices left lent to usbip-host, to be given back at the next start:"
                             << m_busIds.join(QStringLiteral(", "));
    closeFile(m_file);
}

QString BoundUsbDevices::defaultFolder()
{
    return PathTools::getClientDataDir() + QStringLiteral("/USB");
}

BoundUsbDevices &BoundUsbDevices::forThisProcess()
{
    static BoundUsbDevices record;
    return record;
}

bool BoundUsbDevices::add(const QString &busId)
{
    if (m_file < 0) {
        if (!makePrivateFolder(m_folder))
            return false;
        m_file = createLockedFile(m_folder, m_path);
        if (m_file < 0)
            return false;
    }
    if (!write('+', busId))
        return false;
    m_busIds << busId;
    return true;
}

void BoundUsbDevices::remove(const QString &busId)
{
    if (!m_busIds.removeOne(busId))
        return;
    write('-', busId);
}

bool BoundUsbDevices::write(char mark, const QString &busId)
{
    if (appendLine(m_file, mark + busId.toLatin1() + '\n'))
        return true;
    qWarning().noquote() << "Cannot write to" << m_path << "which records the USB devices lent to usbip-host";
    return false;
}

QStringList BoundUsbDevices::entriesOf(const QByteArray &content)
{
    QStringList busIds;
    for (const QByteArray &line : content.split('\n')) {
        const QString busId = QString::fromLatin1(line.mid(1));
        // A line cut short by the end of its writer is no record.
        if (!isRecordedBusId(busId))
            continue;
        if (line.startsWith('+') && !busIds.contains(busId))
            busIds << busId;
        else if (line.startsWith('-'))
            busIds.removeAll(busId);
    }
    return busIds;
}

bool BoundUsbDevices::isLent(const QString &sysfsRoot, const QString &busId)
{
    const QString driver = sysfsRoot + QStringLiteral("/bus/usb/devices/") + busId + QStringLiteral("/driver");
    if (QFileInfo(driver).symLinkTarget().endsWith(QStringLiteral("/usbip-host")))
        return true;
    QFile table(sysfsRoot + QStringLiteral("/bus/usb/drivers/usbip-host/match_busid"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    return QString::fromLatin1(table.read(4096)).split(QRegularExpression(QStringLiteral("\\s+"))).contains(busId);
}

// The leftover files being gone through, each held locked, with the devices still lent.
struct BoundUsbDevices::LeftoverRelease
{
    struct File
    {
        QString path;
        int file;
        QStringList lent;
        bool allBack = true;
    };
    QStringList helperCommand;
    std::function<void(const QStringList &)> done;
    QList<File> files;
    int fileIndex = 0;
    int lentIndex = 0;
    QStringList released;
};

void BoundUsbDevices::releaseLeftovers(const QStringList &helperCommand,
                                       const std::function<void(const QStringList &)> &done, const QString &folder,
                                       const QString &sysfsRoot)
{
    auto release = std::make_shared<LeftoverRelease>();
    release->helperCommand = helperCommand;
    release->done = done;
    const QStringList files =
        QDir(folder).entryList({QString::fromLatin1(LeftoverPattern)}, QDir::Files | QDir::Hidden);
    for (const QString &name : files) {
        const QString path = QDir(folder).filePath(name);
        const int file = lockLeftover(path);
        if (file < 0)
            continue; // a client that runs holds it
        // What is still lent is found before anything is given back: giving one device back
        // changes what usbip-host shows.
        LeftoverRelease::File leftover{path, file, {}};
        for (const QString &busId : entriesOf(readAll(file))) {
            if (isLent(sysfsRoot, busId))
                leftover.lent << busId;
        }
        release->files << leftover;
    }
    releaseNext(release);
}

void BoundUsbDevices::releaseNext(const std::shared_ptr<LeftoverRelease> &release)
{
    while (release->fileIndex < release->files.size()) {
        LeftoverRelease::File &leftover = release->files[release->fileIndex];
        if (release->lentIndex < leftover.lent.size()) {
            const QString busId = leftover.lent.at(release->lentIndex++);
            qInfo().noquote() << "Giving back USB device" << busId << "that an earlier run of the client left shared";
            auto *helper = new UsbBindHelper;
            helper->setCommand(release->helperCommand);
            QObject::connect(helper, &UsbBindHelper::finished, helper, [helper, release, busId](UsbBindHelper::Outcome outcome) {
                helper->deleteLater();
                if (outcome == UsbBindHelper::Done) {
                    release->released << busId;
                } else {
                    release->files[release->fileIndex].allBack = false;
                    qWarning().noquote() << "USB device" << busId << "is still lent to usbip-host:" << helper->reason();
                }
                releaseNext(release);
            });
            helper->startUnbind(busId);
            return;
        }
        if (leftover.allBack)
            QFile::remove(leftover.path);
        closeFile(leftover.file);
        ++release->fileIndex;
        release->lentIndex = 0;
    }
    if (release->done)
        release->done(release->released);
}
