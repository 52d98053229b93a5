#include "xauthority.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QRandomGenerator>

namespace {

// Address families of the X authority format.
constexpr quint16 familyInternet = 0;
constexpr quint16 familyLocal = 256;
constexpr quint16 familyWild = 65535;

constexpr int cookieLength = 16;

void appendCounted(QByteArray &out, const QByteArray &field)
{
    const auto size = static_cast<quint16>(field.size());
    out += static_cast<char>(size >> 8);
    out += static_cast<char>(size & 0xff);
    out += field;
}

QByteArray entry(quint16 family, const QByteArray &address, const QByteArray &number, const QByteArray &cookie)
{
    QByteArray out;
    out += static_cast<char>(family >> 8);
    out += static_cast<char>(family & 0xff);
    appendCounted(out, address);
    appendCounted(out, number);
    appendCounted(out, XAuthority::cookieName());
    appendCounted(out, cookie);
    return out;
}

} // namespace

QByteArray XAuthority::entries(unsigned short display, const QByteArray &cookie, const QByteArray &hostName)
{
    const QByteArray number = QByteArray::number(display);
    return entry(familyLocal, hostName, number, cookie)
        + entry(familyInternet, QByteArray("\x7f\x00\x00\x01", 4), number, cookie)
        + entry(familyWild, QByteArray(), number, cookie);
}

bool XAuthority::create(unsigned short display)
{
    if (!m_dir) {
        // QTemporaryDir makes the folder accessible to its owner alone.
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/zel-client-xauth-XXXXXX"));
        if (!m_dir->isValid()) {
            qCritical().noquote() << "Can't create a folder for the X authority:" << m_dir->errorString();
            m_dir.reset();
            return false;
        }
    }

    QByteArray cookie(cookieLength, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(cookie.data()),
                                         reinterpret_cast<quint32 *>(cookie.data() + cookie.size()));

    const QString fileName = m_dir->filePath(QStringLiteral("Xauthority"));
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(entries(display, cookie, QHostInfo::localHostName().toLocal8Bit())) < 0 || !file.flush()) {
        qCritical().noquote() << "Can't write the X authority" << fileName << ":" << file.errorString();
        return false;
    }
    m_fileName = fileName;
    m_cookie = cookie;
    return true;
}
