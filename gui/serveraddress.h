#pragma once

#include <QString>

// The server field's text: a host, or a host and a port joined by ":", with blanks around
// either part dropped. A host alone means the broker's usual port.
class ServerAddress
{
public:
    enum Problem { NoProblem, NoHost, BadPort };

    static constexpr quint16 defaultPort = 8443;

    static ServerAddress parse(const QString &text);

    Problem problem() const { return m_problem; }
    bool isValid() const { return m_problem == NoProblem; }
    QString host() const { return m_host; }
    quint16 port() const { return m_port; }
    // The port as the user wrote it; empty when only a host was given.
    QString portText() const { return m_portText; }
    // The address as the field should show it.
    QString text() const;

private:
    Problem m_problem = NoHost;
    QString m_host;
    QString m_portText;
    quint16 m_port = defaultPort;
};
