// Winsock 2: select() on one socket with seconds plus microseconds, GetTickCount, and the
// message box for a failed start-up.
#include "platform/net.h"

// Order matters: Winsock before windows.h, and mstcpip.h after both.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>

#include <mstcpip.h>

#include "platform/ipv4.h"

#include <cstdlib>
#include <cstring>

static WSADATA g_wsaData; // filled by the start-up, never read again

bool NetStartup()
{
    return WSAStartup(MAKEWORD(2, 0), &g_wsaData) == 0;
}

void NetStartupFailed(const char *text, const char *caption)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
    std::exit(1);
}

static SOCKET ToSocket(NetSocket sock)
{
    return static_cast<SOCKET>(sock);
}

NetSocket NetOpenSocket()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    // The Winsock counterpart of close-on-exec: child processes do not inherit the socket.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // Urgent data stays in the stream; keep-alive on the shared timing. Options a system lacks
    // leave its defaults (without the probe count, Windows sends ten probes).
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char *>(&on), sizeof on);
    tcp_keepalive keepAlive = {1, kNetKeepAliveIdleSeconds * 1000u, kNetKeepAliveIntervalSeconds * 1000u};
    DWORD unused = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &unused, nullptr, nullptr);
    const DWORD probes = kNetKeepAliveProbes;
    const int kKeepCount = 16; // TCP_KEEPCNT, Windows 10 1703 and later
    setsockopt(s, IPPROTO_TCP, kKeepCount, reinterpret_cast<const char *>(&probes), sizeof probes);
    // Data left unacknowledged for the vanished-server limit ends the connection, however many
    // retransmissions that takes: the system's default of five gives up after about 20 s on a
    // clean link, before a lossy one has had its chance. The connect is bounded by it as well.
    const DWORD maxRetransmitSeconds = kNetUnansweredMs / 1000u;
    const int kMaxRt = 5; // TCP_MAXRT
    setsockopt(s, IPPROTO_TCP, kMaxRt, reinterpret_cast<const char *>(&maxRetransmitSeconds),
               sizeof maxRetransmitSeconds);
    return static_cast<NetSocket>(s);
}

bool NetConnect(NetSocket sock, const uint8_t address[4], uint16_t port)
{
    sockaddr_in to = Ipv4SocketAddress(address, port);
    return connect(ToSocket(sock), reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
}

void NetSetNoDelay(NetSocket sock)
{
    DWORD on = 0xFFFFFFFFu; // all bits set; any non-zero value enables
    setsockopt(ToSocket(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

int32_t NetSend(NetSocket sock, const void *data, uint32_t length)
{
    int sent = send(ToSocket(sock), static_cast<const char *>(data), static_cast<int>(length), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

NetWaitResult NetWaitReadable(NetSocket sock, uint32_t ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToSocket(sock), &readable);
    timeval limit;
    timeval *wait = nullptr;
    if (ms != kNetWaitForever) {
        if (ms > kNetLongestWait)
            ms = kNetLongestWait;
        limit.tv_sec = static_cast<long>(ms / 1000u);
        limit.tv_usec = static_cast<long>(ms % 1000u) * 1000L;
        wait = &limit;
    }
    int ready = select(0, &readable, nullptr, nullptr, wait);
    if (ready == SOCKET_ERROR)
        return kNetWaitFailed;
    return FD_ISSET(ToSocket(sock), &readable) ? kNetReadable : kNetTimedOut;
}

int32_t NetReceive(NetSocket sock, void *buffer, uint32_t length)
{
    int got = recv(ToSocket(sock), static_cast<char *>(buffer), static_cast<int>(length), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

int32_t NetReceiveIfWaiting(NetSocket, void *, uint32_t)
{
    return kNetNothingYet; // a blocking Winsock socket has no per-call non-blocking receive
}

bool NetPeerGone(NetSocket)
{
    // Winsock shows no unanswered probes and no time since the last acknowledgement (SIO_TCP_INFO
    // tells only running totals), so a vanished server cannot be told from a live one that has
    // stopped reading: the pause is kept alive, keep-alive ends idle connections and the system's
    // own limit (TCP_MAXRT, set at the open) ends one whose data goes unacknowledged.
    return false;
}

void NetAbandon(NetSocket sock)
{
    linger now = {1, 0};
    setsockopt(ToSocket(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now), sizeof now);
    shutdown(ToSocket(sock), SD_BOTH);
}

void NetEndSending(NetSocket sock)
{
    shutdown(ToSocket(sock), SD_SEND);
}

int32_t NetUnacknowledged(NetSocket)
{
    return -1; // not told by Winsock: the close waits for the server's own close instead
}

void NetClose(NetSocket sock)
{
    shutdown(ToSocket(sock), SD_BOTH);
    closesocket(ToSocket(sock));
}

uint32_t NetTicks()
{
    return GetTickCount();
}

void NetSleep(uint32_t ms)
{
    Sleep(ms);
}
