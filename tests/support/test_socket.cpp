#include "test_socket.h"

#include <cstddef>

int TestWaitReadable(TestSocket a, TestSocket b, int ms)
{
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    if (a != kTestInvalidSocket)
        FD_SET(a, &set);
    if (b != kTestInvalidSocket)
        FD_SET(b, &set);
    timeval limit = {ms / 1000, (ms % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &limit) <= 0)
        return 0;
    int mask = 0;
    if (a != kTestInvalidSocket && FD_ISSET(a, &set))
        mask |= 1;
    if (b != kTestInvalidSocket && FD_ISSET(b, &set))
        mask |= 2;
    return mask;
#else
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0)
        return 0;
    int mask = 0;
    if (a != kTestInvalidSocket && p[0].revents)
        mask |= 1;
    if (b != kTestInvalidSocket && p[1].revents)
        mask |= 2;
    return mask;
#endif
}

bool TestSendAll(TestSocket s, const void *data, size_t length)
{
    const char *p = static_cast<const char *>(data);
    while (length > 0) {
#ifdef _WIN32
        int n = send(s, p, static_cast<int>(length), 0);
#else
        ssize_t n = send(s, p, length, MSG_NOSIGNAL);
#endif
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int TestReceive(TestSocket s, void *buffer, size_t length)
{
#ifdef _WIN32
    return recv(s, static_cast<char *>(buffer), static_cast<int>(length), 0);
#else
    return static_cast<int>(recv(s, buffer, length, 0));
#endif
}

void TestResetSocket(TestSocket s)
{
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l);
    TestCloseSocket(s);
}

int TestDataSegmentsIn(TestSocket s)
{
#ifdef __linux__
    // Linux 4.6 counts data segments in a field past the end of glibc's struct tcp_info.
    struct {
        tcp_info head;
        uint64_t pacingRate, maxPacingRate, bytesAcked, bytesReceived;
        uint32_t segsOut, segsIn, notsentBytes, minRtt, dataSegsIn;
    } info;
    socklen_t length = sizeof info;
    if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(decltype(info), dataSegsIn) + sizeof info.dataSegsIn)
        return -1; // an older kernel, or qemu-user, which gives only the first bytes
    return static_cast<int>(info.dataSegsIn);
#else
    (void)s;
    return -1;
#endif
}
