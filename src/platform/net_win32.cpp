// Winsock 2: select() on one socket with seconds plus microseconds, GetTickCount.
#include "platform/net.h"

// Order matters: Winsock before windows.h, and mstcpip.h after both.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>

#include <mstcpip.h>

#include "platform/ipv4.h"
#include "platform/scan.h"

#include <cstring>

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
    if (connect(ToSocket(sock), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return false;
    // From here on every receive and send is tried first and waits in select() only when it
    // would block: a poll of an idle port costs one recv, and a stream one recv per buffer.
    u_long nonBlocking = 1;
    return ioctlsocket(ToSocket(sock), FIONBIO, &nonBlocking) == 0;
}

void NetSetNoDelay(NetSocket sock)
{
    DWORD on = 0xFFFFFFFFu; // all bits set; any non-zero value enables
    setsockopt(ToSocket(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

int NetWaitReady(NetSocket sock, bool forSending, uint32_t ms)
{
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(ToSocket(sock), &ready);
    timeval limit = {static_cast<long>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000L};
    const int n = forSending ? select(0, nullptr, &ready, nullptr, &limit) : select(0, &ready, nullptr, nullptr, &limit);
    if (n == SOCKET_ERROR)
        return -1;
    return FD_ISSET(ToSocket(sock), &ready) ? 1 : 0;
}

int32_t NetReceiveOnEvent(NetSocket sock, void *buffer, uint32_t length, uint32_t ms, intptr_t event)
{
    // An overlapped receive completes as soon as data is there, as a blocking recv would, and a
    // select() before a recv costs a call more. When the time is up it is cancelled, and what
    // ended it tells: the data that completed it just before, or nothing. Either way the
    // operation is over before this returns, so the buffer and ov are free again.
    WSAOVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = reinterpret_cast<HANDLE>(event); // reset by the receive as it starts
    WSABUF piece = {static_cast<ULONG>(length), static_cast<char *>(buffer)};
    DWORD got = 0, flags = 0;
    if (WSARecv(ToSocket(sock), &piece, 1, &got, &flags, &ov, nullptr) == 0)
        return static_cast<int32_t>(got); // there already (0: the server closed its side)
    if (WSAGetLastError() != WSA_IO_PENDING)
        return -1;
    if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0)
        CancelIoEx(reinterpret_cast<HANDLE>(ToSocket(sock)), &ov);
    if (WSAGetOverlappedResult(ToSocket(sock), &ov, &got, TRUE, &flags))
        return static_cast<int32_t>(got);
    return WSAGetLastError() == WSA_OPERATION_ABORTED ? kNetTimedOut : -1;
}

intptr_t NetOpenWaitEvent()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr); // manual reset
    return event == nullptr ? kNetNoEvent : reinterpret_cast<intptr_t>(event);
}

void NetCloseWaitEvent(intptr_t event)
{
    if (event != kNetNoEvent)
        CloseHandle(reinterpret_cast<HANDLE>(event));
}

// A result of send or recv: SOCKET_ERROR becomes kNetWouldBlock or -1.
static int32_t TryResult(int result)
{
    if (result != SOCKET_ERROR)
        return result;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kNetWouldBlock : -1;
}

int32_t NetTrySend(NetSocket sock, const void *data, uint32_t length)
{
    return TryResult(send(ToSocket(sock), static_cast<const char *>(data), static_cast<int>(length), 0));
}

int32_t NetTryReceive(NetSocket sock, void *buffer, uint32_t length)
{
    return TryResult(recv(ToSocket(sock), static_cast<char *>(buffer), static_cast<int>(length), 0));
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

const uint8_t *FindByte(const uint8_t *data, uint8_t value, uint32_t length)
{
    // The C runtime's memchr (msvcrt.dll's, which the DLL imports) scans a byte at a time.
    return FindByteByWords(data, value, length);
}

uint32_t NetTicks()
{
    return GetTickCount();
}

uint32_t NetCoarseTicks()
{
    return GetTickCount(); // already a read of memory the system keeps up to date
}

void NetSleep(uint32_t ms)
{
    Sleep(ms);
}
