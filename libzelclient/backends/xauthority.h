#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A private X authority file with one fresh MIT-MAGIC-COOKIE-1 for a display. The X server is
// started with it (-auth) and then admits only clients that present the cookie; the clients the
// session starts itself find it through XAUTHORITY. The file lives in a folder of its own that
// only the user can enter, and goes with this object.
class XAuthority
{
public:
    XAuthority() = default;
    XAuthority(const XAuthority &) = delete;
    XAuthority &operator=(const XAuthority &) = delete;

    // Writes a new cookie for the display, replacing an earlier file; false when the file
    // cannot be written.
    bool create(unsigned short display);

    QString fileName() const { return m_fileName; }
    QByteArray cookie() const { return m_cookie; }

    static QByteArray cookieName() { return QByteArrayLiteral("MIT-MAGIC-COOKIE-1"); }

    // The file's contents in the X authority format: the cookie for the display through the
    // local socket (this host's name), through 127.0.0.1 and for any address, so that every
    // client library finds it however it reaches the display.
    static QByteArray entries(unsigned short display, const QByteArray &cookie, const QByteArray &hostName);

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_fileName;
    QByteArray m_cookie;
};
