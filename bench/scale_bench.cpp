// Many ports open in one process: scale_bench [ports], 1500 by default, so descriptors run past
// 1024 (poll, not select, must be behind every wait). The echo server is a child process on
// 127.0.0.1 using epoll. At 1, 10, 100, 500, 1000 and all ports open it measures resident memory
// per port and the cost of a 32-byte request on every port, checking every answer exactly.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "kalvicom.h"
#include "port/port_context.h"

namespace
{

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "scale_bench: %s\n", what.c_str());
    std::exit(1);
}

// The child: echoes every connection's bytes back until the parent goes away.
[[noreturn]] void EchoChild(int listener)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int ep = epoll_create1(0);
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    std::vector<epoll_event> ready(256);
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                int c = accept(listener, nullptr, nullptr);
                if (c >= 0) {
                    epoll_event add = {};
                    add.events = EPOLLIN;
                    add.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &add);
                }
                continue;
            }
            ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0 || !SendPieces(fd, buffer.data(), static_cast<size_t>(got), buffer.size()))
                close(fd); // leaves the epoll set with its last descriptor
        }
    }
}

// Opens count ports with several threads at once (each open waits about 10 ms for the server's
// first answers to settle) and appends them to ports.
void OpenPorts(const std::string &address, size_t count, std::vector<HANDLE> *ports)
{
    constexpr size_t kThreads = 8;
    std::vector<std::vector<HANDLE>> opened(kThreads);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        const size_t share = count / kThreads + (t < count % kThreads ? 1 : 0);
        threads.emplace_back([&address, share, &opened, t] {
            for (size_t i = 0; i < share; ++i)
                opened[t].push_back(KvCreateFile(address.c_str()));
        });
    }
    for (auto &t : threads)
        t.join();
    for (auto &list : opened) {
        for (HANDLE h : list) {
            if (h == INVALID_HANDLE_VALUE)
                Fail("KvCreateFile failed after " + std::to_string(ports->size()) + " ports: " + std::strerror(errno));
            COMMTIMEOUTS t = {};
            t.ReadTotalTimeoutConstant = 5000;
            KvSetCommTimeouts(h, &t);
            ports->push_back(h);
        }
    }
}

// A 32-byte request on each port in turn, its answer read before the next: the median seconds
// of one such round trip.
double RoundTripEach(const std::vector<HANDLE> &ports, const std::vector<uint8_t> &data)
{
    std::vector<double> samples;
    uint8_t back[32];
    for (size_t i = 0; i < ports.size(); ++i) {
        const uint8_t *request = data.data() + (i % 1024) * 32;
        DWORD n = 0, got = 0;
        const uint64_t t0 = NowNs();
        KvWriteFile(ports[i], request, 32, &n);
        while (got < 32) {
            if (!KvReadFile(ports[i], back + got, 32 - got, &n) || n == 0)
                Fail("port " + std::to_string(i) + " did not answer");
            got += n;
        }
        samples.push_back((NowNs() - t0) * 1e-9);
        if (std::memcmp(back, request, 32) != 0)
            Fail("port " + std::to_string(i) + " answered wrong data");
    }
    return Median(samples);
}

// A 32-byte request written to every port, then every answer read: seconds per port.
double AllAtOnce(const std::vector<HANDLE> &ports, const std::vector<uint8_t> &data)
{
    uint8_t back[32];
    const uint64_t t0 = NowNs();
    for (size_t i = 0; i < ports.size(); ++i) {
        DWORD n = 0;
        KvWriteFile(ports[i], data.data() + (i % 1024) * 32, 32, &n);
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        DWORD n = 0, got = 0;
        while (got < 32) {
            if (!KvReadFile(ports[i], back + got, 32 - got, &n) || n == 0)
                Fail("port " + std::to_string(i) + " did not answer");
            got += n;
        }
        if (std::memcmp(back, data.data() + (i % 1024) * 32, 32) != 0)
            Fail("port " + std::to_string(i) + " answered wrong data");
    }
    return (NowNs() - t0) * 1e-9 / static_cast<double>(ports.size());
}

} // namespace

int main(int argc, char **argv)
{
    size_t total = 1500;
    if (argc > 1)
        total = static_cast<size_t>(std::atol(argv[1]));

    // Room for the ports, the server's side of each connection and some spare.
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t want = 2 * total + 256;
    if (limit.rlim_cur < want) {
        limit.rlim_cur = std::min(want, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < want)
            Fail("cannot raise the descriptor limit to " + std::to_string(want));
    }

    uint16_t port;
    const int listener = ListenLoopback(&port, 4096);
    const pid_t child = fork();
    if (child < 0)
        Fail("fork");
    if (child == 0)
        EchoChild(listener);
    close(listener);

    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::vector<uint8_t> data = RandomBytes(32 * 1024, 7);
    std::vector<HANDLE> ports;
    std::printf("scale: ports open in one process (sizeof(PortContext) = %zu bytes); load average %.2f\n",
                sizeof(PortContext), LoadAverage());
    std::printf("%8s %12s %14s %16s %16s %10s\n", "ports", "open s", "RSS KiB/port", "each, median us",
                "all at once us", "max fd");

    // The first port also brings the opening threads' stacks in: memory counts from there.
    long baseKiB = 0;
    size_t baseCount = 0;
    std::vector<size_t> stages;
    for (size_t stage : {1, 10, 100, 500, 1000}) {
        if (stage < total)
            stages.push_back(stage);
    }
    stages.push_back(total);
    for (size_t stage : stages) {
        const uint64_t t0 = NowNs();
        OpenPorts(address, stage - ports.size(), &ports);
        const double openSeconds = (NowNs() - t0) * 1e-9;
        const long kib = ResidentKiB();
        if (stage == 1) {
            baseKiB = kib;
            baseCount = 1;
        }
        const double each = RoundTripEach(ports, data);
        const double all = AllAtOnce(ports, data);
        int maxFd = 0;
        for (HANDLE h : ports)
            maxFd = std::max(maxFd, static_cast<int>(static_cast<PortContext *>(h)->sock));
        char perPort[32] = "-";
        if (stage > baseCount)
            std::snprintf(perPort, sizeof perPort, "%.2f", static_cast<double>(kib - baseKiB) / (stage - baseCount));
        std::printf("%8zu %12.2f %14s %16.2f %16.2f %10d\n", stage, openSeconds, perPort, each * 1e6, all * 1e6, maxFd);
        std::fflush(stdout);
    }
    std::printf("every port answered with exact data\n");
    for (HANDLE h : ports)
        KvCloseHandle(h);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return 0;
}
