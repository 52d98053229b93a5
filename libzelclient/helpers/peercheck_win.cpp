#include "peercheck.h"

#include <QHostAddress>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <sddl.h>

#include <vector>

namespace {

// The user of a process as a SID string; empty when the process cannot be asked.
QString processUser(DWORD pid)
{
    QString user;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return user;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<char> buffer(size);
        LPWSTR sid = nullptr;
        if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
            && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid)) {
            user = QString::fromWCharArray(sid);
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return user;
}

} // namespace

QString PeerCheck::ownUser()
{
    return processUser(GetCurrentProcessId());
}

// IPv4 only: the client's listeners and connections are all on 127.0.0.1. The table names the
// owning process; its user is the owner.
QString PeerCheck::socketOwner(const QHostAddress &local, quint16 localPort, const QHostAddress &remote,
                               quint16 remotePort)
{
    ULONG size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    std::vector<char> buffer(size);
    if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0) != NO_ERROR)
        return QString();
    const auto *table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID *>(buffer.data());
    const bool listener = remotePort == 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID &row = table->table[i];
        if (ntohs(u_short(row.dwLocalPort)) != localPort)
            continue;
        const quint32 rowLocal = ntohl(row.dwLocalAddr);
        if (listener) {
            if (row.dwState == MIB_TCP_STATE_LISTEN && (rowLocal == local.toIPv4Address() || rowLocal == 0))
                return processUser(row.dwOwningPid);
        } else if (rowLocal == local.toIPv4Address() && ntohl(row.dwRemoteAddr) == remote.toIPv4Address()
                   && ntohs(u_short(row.dwRemotePort)) == remotePort) {
            return processUser(row.dwOwningPid);
        }
    }
    return QString();
}
