#include "bench_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

[[noreturn]] static void Die(const char *what)
{
    std::fprintf(stderr, "bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

int ListenLoopback(uint16_t *port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, backlog) != 0)
        Die("bind/listen");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int ConnectLoopback(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Die("socket");
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        Die("connect");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool SendPieces(int fd, const uint8_t *data, size_t length, size_t chunk)
{
    size_t sent = 0;
    while (sent < length) {
        const size_t piece = std::min(chunk, length - sent);
        ssize_t n = send(fd, data + sent, piece, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ReceiveExact(int fd, uint8_t *buffer, size_t length, size_t chunk, int limitMs)
{
    const uint64_t start = NowNs();
    size_t got = 0;
    while (got < length) {
        int wait = -1;
        if (limitMs >= 0) {
            const uint64_t elapsedMs = (NowNs() - start) / 1000000u;
            if (elapsedMs >= static_cast<uint64_t>(limitMs))
                return false;
            wait = limitMs - static_cast<int>(elapsedMs);
        }
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t n = recv(fd, buffer + got, std::min(chunk, length - got), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

long ResidentKiB()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib;
}

double LoadAverage()
{
    double load[1];
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}
