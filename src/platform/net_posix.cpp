// POSIX sockets: poll() for waits (select() cannot take descriptors past FD_SETSIZE), sends that
// never raise SIGPIPE, EINTR restarted with the time left, close-on-exec sockets, CLOCK_MONOTONIC.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // macOS: SO_NOSIGPIPE is set on the socket instead
#endif

bool NetStartup()
{
    return true; // nothing to start
}

void NetStartupFailed(const char *text, const char *caption)
{
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::exit(1);
}

NetSocket NetOpenSocket()
{
#ifdef SOCK_CLOEXEC
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#else
    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd >= 0)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (fd < 0)
        return kInvalidSocket;
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return fd;
}

static int ToFd(NetSocket sock)
{
    return static_cast<int>(sock);
}

bool NetConnect(NetSocket sock, const uint8_t address[4], uint16_t port)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    std::memcpy(&to.sin_addr.s_addr, address, 4); // already in network order
    if (connect(ToFd(sock), reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return true;
    if (errno != EINTR && errno != EINPROGRESS)
        return false;
    // An interrupted connect goes on in the background: wait for it to finish, then ask how.
    pollfd p = {ToFd(sock), POLLOUT, 0};
    int ready;
    do {
        ready = poll(&p, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(ToFd(sock), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

void NetSetNoDelay(NetSocket sock)
{
    int on = -1; // all bits set; any non-zero value enables
    setsockopt(ToFd(sock), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int32_t NetSend(NetSocket sock, const void *data, uint32_t length)
{
    for (;;) {
        ssize_t sent = send(ToFd(sock), data, length, MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int32_t>(sent);
        if (errno != EINTR)
            return -1;
    }
}

NetWaitResult NetWaitReadable(NetSocket sock, uint32_t ms)
{
    const bool forever = ms == kNetWaitForever;
    if (!forever && ms > kNetLongestWait)
        ms = kNetLongestWait;
    const uint32_t start = NetTicks();
    uint32_t left = ms;
    for (;;) {
        pollfd p = {ToFd(sock), POLLIN, 0};
        int ready = poll(&p, 1, forever ? -1 : static_cast<int>(left));
        if (ready > 0)
            return kNetReadable; // POLLIN, or POLLHUP/POLLERR: the receive reports which
        if (ready == 0)
            return kNetTimedOut;
        if (errno != EINTR)
            return kNetWaitFailed;
        if (!forever) {
            uint32_t elapsed = NetTicks() - start;
            if (elapsed >= ms)
                return kNetTimedOut;
            left = ms - elapsed;
        }
    }
}

int32_t NetReceive(NetSocket sock, void *buffer, uint32_t length)
{
    for (;;) {
        ssize_t got = recv(ToFd(sock), buffer, length, 0);
        if (got >= 0)
            return static_cast<int32_t>(got);
        if (errno != EINTR)
            return -1;
    }
}

int32_t NetReceiveIfWaiting(NetSocket sock, void *buffer, uint32_t length)
{
    for (;;) {
        ssize_t got = recv(ToFd(sock), buffer, length, MSG_DONTWAIT);
        if (got >= 0)
            return static_cast<int32_t>(got);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kNetNothingYet;
        if (errno != EINTR)
            return -1;
    }
}

void NetClose(NetSocket sock)
{
    shutdown(ToFd(sock), SHUT_RDWR);
    close(ToFd(sock)); // not retried on EINTR: the descriptor is released either way on Linux
}

uint32_t NetTicks()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void NetSleep(uint32_t ms)
{
    timespec left = {static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
