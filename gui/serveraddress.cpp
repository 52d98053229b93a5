#include "serveraddress.h"

ServerAddress ServerAddress::parse(const QString &text)
{
    ServerAddress address;
    const QString trimmed = text.trimmed();
    const int colon = trimmed.indexOf(QLatin1Char(':'));
    address.m_host = trimmed.left(colon).trimmed();
    address.m_portText = colon < 0 ? QString() : trimmed.mid(colon + 1).trimmed();

    if (address.m_host.isEmpty())
        return address;
    if (!address.m_portText.isEmpty()) {
        bool isNumber = false;
        const uint port = address.m_portText.toUInt(&isNumber, 10);
        if (!isNumber || port < 1 || port > 65535) {
            address.m_problem = BadPort;
            return address;
        }
        address.m_port = static_cast<quint16>(port);
    }
    address.m_problem = NoProblem;
    return address;
}

QString ServerAddress::text() const
{
    return m_portText.isEmpty() ? m_host : m_host + QLatin1Char(':') + m_portText;
}
