// POSIX sockets: non-blocking, poll() for waits (select() cannot take descriptors past
// FD_SETSIZE), sends that never raise SIGPIPE, EINTR restarted with the time left, close-on-exec
// sockets, CLOCK_MONOTONIC.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ipv4.h"
#include "platform/scan.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // macOS: SO_NOSIGPIPE is set on the socket instead
#endif
#ifndef CLOCK_MONOTONIC_COARSE
#define CLOCK_MONOTONIC_COARSE CLOCK_MONOTONIC // not Linux: the one clock serves both
#endif

NetSocket NetOpenSocket()
{
    // Non-blocking from the start: every receive and send is tried without blocking, and the
    // waits are poll()s, the connect's included.
#ifdef SOCK_CLOEXEC
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
#else
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd >= 0 && (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0)) {
        close(fd);
        fd = -1;
    }
#endif
    if (fd < 0)
        return kInvalidSocket;
    int one = 1;
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    // Options that fail (an older system, an emulator) leave the defaults: nothing depends on them
    // for correctness, only on how soon a vanished server is noticed.
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = kNetKeepAliveIdleSeconds, interval = kNetKeepAliveIntervalSeconds, probes = kNetKeepAliveProbes;
#if defined(TCP_KEEPIDLE)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#elif defined(TCP_KEEPALIVE)
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idle, sizeof idle); // macOS
#endif
#ifdef TCP_KEEPINTVL
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
    (void)idle, (void)interval, (void)probes;
#if defined(__linux__)
    // Window probes and retransmissions at most a minute apart (older systems refuse the option).
    const int kRtoMaxMs = 44; // TCP_RTO_MAX_MS, Linux 6.15 and later
    int longest = kNetLongestBackoffMs;
    setsockopt(fd, IPPROTO_TCP, kRtoMaxMs, &longest, sizeof longest);
#endif
    return fd;
}

static int ToFd(NetSocket sock)
{
    return static_cast<int>(sock);
}

bool NetConnect(NetSocket sock, const uint8_t address[4], uint16_t port)
{
    sockaddr_in to = Ipv4SocketAddress(address, port);
    if (connect(ToFd(sock), reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return true;
    if (errno != EINTR && errno != EINPROGRESS)
        return false;
    // The connect goes on in the background: wait for it to finish, then ask how.
    pollfd p = {ToFd(sock), POLLOUT, 0};
    int ready;
    do {
        ready = poll(&p, 1, -1);
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    return ready > 0 && getsockopt(ToFd(sock), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

void NetSetNoDelay(NetSocket sock)
{
    int on = -1; // all bits set; any non-zero value enables
    setsockopt(ToFd(sock), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int NetWaitReady(NetSocket sock, bool forSending, uint32_t ms)
{
    pollfd p = {ToFd(sock), static_cast<short>(forSending ? POLLOUT : POLLIN), 0};
    int ready = poll(&p, 1, static_cast<int>(ms));
    return ready < 0 && errno == EINTR ? 0 : ready; // interrupted: the caller looks at the clock
}

int32_t NetReceiveOnEvent(NetSocket, void *, uint32_t, uint32_t, intptr_t)
{
    return -1; // never called: there are no wait events here
}

intptr_t NetOpenWaitEvent()
{
    return kNetNoEvent; // poll() needs none
}

void NetCloseWaitEvent(intptr_t)
{
}

// A result of send or recv: -1 becomes kNetWouldBlock, kInterrupted (the call is made again) or -1.
constexpr int32_t kInterrupted = -3;
static int32_t TryResult(ssize_t result)
{
    if (result >= 0)
        return static_cast<int32_t>(result);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return kNetWouldBlock;
    return errno == EINTR ? kInterrupted : -1;
}

int32_t NetTrySend(NetSocket sock, const void *data, uint32_t length)
{
    int32_t sent;
    do
        sent = TryResult(send(ToFd(sock), data, length, MSG_NOSIGNAL | MSG_DONTWAIT));
    while (sent == kInterrupted);
    return sent;
}

int32_t NetTryReceive(NetSocket sock, void *buffer, uint32_t length)
{
    int32_t got;
    do
        got = TryResult(recv(ToFd(sock), buffer, length, MSG_DONTWAIT));
    while (got == kInterrupted);
    return got;
}

bool NetPeerGone(NetSocket sock)
{
#if defined(__linux__)
    tcp_info info{};
    socklen_t length = sizeof info;
    // An answer too short to hold the fields read here (an emulator, an old kernel) tells nothing.
    // A connection the system has ended reports that by itself; one whose server has closed its
    // side is still judged, since the server may vanish while a write to it is blocked.
    const socklen_t needed = offsetof(tcp_info, tcpi_last_ack_recv) + sizeof info.tcpi_last_ack_recv;
    if (getsockopt(ToFd(sock), IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || length < needed ||
        (info.tcpi_state != TCP_ESTABLISHED && info.tcpi_state != TCP_CLOSE_WAIT))
        return false;
    // A live server answers every probe and acknowledges what arrives, but on a bad link many
    // packets in a row may be lost, and after a burst of loss TCP waits ever longer between tries.
    // So only a long silence counts, with several tries in a row each left unanswered for its
    // full time. While a live server keeps its window shut, nothing sent is unacknowledged (the
    // queued data is unsent): only the probe count can tell, and the probes may be a minute apart.
    if (info.tcpi_last_ack_recv < kNetUnansweredMs)
        return false;
    return (info.tcpi_unacked > 0 && info.tcpi_retransmits >= kNetUnansweredTimeouts) ||
           info.tcpi_probes >= kNetUnansweredProbes;
#else
    (void)sock;
    return false; // the system's own limits apply
#endif
}

void NetAbandon(NetSocket sock)
{
    // Dissolving the association (a connect to AF_UNSPEC) resets the connection at once: nothing is
    // left to deliver to a vanished server, and every later call on the socket fails.
    sockaddr none;
    std::memset(&none, 0, sizeof none);
    none.sa_family = AF_UNSPEC;
    connect(ToFd(sock), &none, sizeof none);
}

void NetEndSending(NetSocket sock)
{
    shutdown(ToFd(sock), SHUT_WR);
}

int32_t NetUnacknowledged(NetSocket sock)
{
    // A connection that has ended (a reset, a time-out, NetAbandon) delivers nothing more: it has
    // no peer any more. (Asked this way rather than through TCP_INFO, which emulators such as
    // qemu-user answer only in part.)
    sockaddr_storage peer;
    socklen_t peerLength = sizeof peer;
    if (getpeername(ToFd(sock), reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0 && errno == ENOTCONN)
        return 0;
#if defined(__linux__)
    int queued = 0; // unsent plus sent but unacknowledged, the FIN included
    return ioctl(ToFd(sock), TIOCOUTQ, &queued) == 0 ? queued : -1;
#elif defined(FIONWRITE)
    int queued = 0;
    return ioctl(ToFd(sock), FIONWRITE, &queued) == 0 ? queued : -1;
#elif defined(SO_NWRITE)
    int queued = 0; // macOS
    socklen_t length = sizeof queued;
    return getsockopt(ToFd(sock), SOL_SOCKET, SO_NWRITE, &queued, &length) == 0 ? queued : -1;
#else
    (void)sock;
    return -1;
#endif
}

void NetClose(NetSocket sock)
{
    shutdown(ToFd(sock), SHUT_RDWR);
    close(ToFd(sock)); // not retried on EINTR: the descriptor is released either way on Linux
}

const uint8_t *FindByte(const uint8_t *data, uint8_t value, uint32_t length)
{
    return static_cast<const uint8_t *>(std::memchr(data, value, length)); // the C library's is vectorised
}

// Milliseconds on one of the monotonic clocks, wrapping at 2^32.
static uint32_t Milliseconds(clockid_t clock)
{
    timespec now;
    clock_gettime(clock, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t NetTicks()
{
    return Milliseconds(CLOCK_MONOTONIC);
}

uint32_t NetCoarseTicks()
{
    // Linux: the time of the last timer tick, read without asking the hardware.
    return Milliseconds(CLOCK_MONOTONIC_COARSE);
}

void NetSleep(uint32_t ms)
{
    timespec left = {static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
