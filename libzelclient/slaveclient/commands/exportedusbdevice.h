#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class BoundUsbDevices;

// A local USB device the kernel serves to the VM. It goes back to its own driver when this
// object goes, which the session makes happen when it ends.
class ExportedUsbDevice : public QObject
{
    Q_OBJECT

public:
    ExportedUsbDevice(const QString &busId, const QStringList &helperCommand, BoundUsbDevices *record,
                      QObject *parent = nullptr);
    ~ExportedUsbDevice() override;

    QString busId() const { return m_busId; }
    // Starts giving the device back now rather than when this object goes; done runs once the
    // helper has finished, whatever came of it.
    void giveBackNow(const std::function<void()> &done);

    // Starts giving the device at busId back with the helper run by command, and strikes it
    // from the record once it is back; it stays there for the next start when it is not. Nothing
    // waits for it (the helper may ask for the administrator's password): the record, which
    // must outlive the helper, keeps the device safe should the client end first. done, when
    // given, runs once the helper has finished.
    static void giveBack(const QString &busId, const QStringList &helperCommand, BoundUsbDevices *record,
                         const std::function<void()> &done = nullptr);

private:
    QString m_busId;
    QStringList m_helperCommand;
    BoundUsbDevices *m_record;
};
