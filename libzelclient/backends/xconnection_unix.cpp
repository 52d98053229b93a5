#include "xconnection.h"

#include "backends/xauthority.h"

#include <cstdlib>

XConnection::XConnection(unsigned short display, const QByteArray &cookie)
    : m_displayName(':' + QByteArray::number(display))
{
    QByteArray authName = XAuthority::cookieName();
    QByteArray authData = cookie;
    xcb_auth_info_t auth{};
    auth.namelen = authName.size();
    auth.name = authName.data();
    auth.datalen = authData.size();
    auth.data = authData.data();
    m_connection = xcb_connect_to_display_with_auth_info(m_displayName.constData(), cookie.isEmpty() ? nullptr : &auth,
                                                         nullptr);
}

XConnection::~XConnection()
{
    xcb_disconnect(m_connection);
}

QString XConnection::check(xcb_void_cookie_t request, const QString &what) const
{
    xcb_generic_error_t *refusal = xcb_request_check(m_connection, request);
    QString error;
    if (refusal)
        error = QStringLiteral("the server refused %1 (error %2)").arg(what).arg(refusal->error_code);
    else if (const int failure = this->error())
        error = QStringLiteral("the connection to display %1 failed (error %2)").arg(displayName()).arg(failure);
    free(refusal);
    return error;
}
