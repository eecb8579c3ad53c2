// Many ports in one process: 1500 open at once (so that descriptors pass 1024 and the library's
// waits must not be limited by select()'s set size), thousands of open/close cycles, and the
// descriptor count exactly as before afterwards. Linux only: it raises the descriptor limit and
// counts descriptors in /proc.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kalvicom.h"
#include "port/port_context.h"
#include "port_fixture.h"
#include "test_socket.h"

namespace {

// A loopback server that keeps every connection and echoes whatever arrives on it.
class EchoServer {
public:
    EchoServer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at);
        listen(listener_, 4096);
        socklen_t length = sizeof at;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &length);
        address_ = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
        thread_ = std::thread([this] { Run(); });
    }
    ~EchoServer()
    {
        stop_ = true;
        thread_.join();
        for (int s : conns_)
            close(s);
        close(listener_);
    }
    const std::string &Address() const { return address_; }
    int Live() const { return live_; }
    // Waits until exactly n connections are open on the server's side.
    bool WaitLive(int n, int timeoutMs = 10000)
    {
        for (int waited = 0; waited < timeoutMs; waited += 5) {
            if (live_ == n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return live_ == n;
    }

private:
    void Run()
    {
        std::vector<pollfd> polled;
        std::vector<uint8_t> buffer(65536);
        while (!stop_) {
            polled.assign(1, pollfd{listener_, POLLIN, 0});
            for (int s : conns_)
                polled.push_back(pollfd{s, POLLIN, 0});
            if (poll(polled.data(), polled.size(), 20) <= 0)
                continue;
            std::vector<int> kept;
            for (size_t i = 1; i < polled.size(); ++i) {
                int s = polled[i].fd;
                if (polled[i].revents == 0) {
                    kept.push_back(s);
                    continue;
                }
                ssize_t got = recv(s, buffer.data(), buffer.size(), 0);
                if (got > 0 && TestSendAll(s, buffer.data(), static_cast<size_t>(got))) {
                    kept.push_back(s);
                } else {
                    close(s);
                    --live_;
                }
            }
            if (polled[0].revents) {
                for (;;) {
                    int s = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (s < 0)
                        break;
                    kept.push_back(s);
                    ++live_;
                }
            }
            conns_.swap(kept);
        }
    }

    int listener_;
    std::string address_;
    std::vector<int> conns_;
    std::atomic<int> live_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Raises the soft descriptor limit to at least `wanted` (and the hard one when allowed).
// Returns false when that cannot be done.
bool RaiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= wanted)
        return true;
    if (limit.rlim_max < wanted)
        limit.rlim_max = wanted; // only a privileged process may do this
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Opens count ports on address from `threads` threads at once (each open settles for 10 ms, so
// opening in parallel keeps the test short).
std::vector<HANDLE> OpenMany(const std::string &address, int count, int threads)
{
    std::vector<HANDLE> ports(count, INVALID_HANDLE_VALUE);
    std::vector<std::thread> openers;
    for (int t = 0; t < threads; ++t)
        openers.emplace_back([&, t] {
            for (int i = t; i < count; i += threads)
                ports[i] = KvCreateFile(address.c_str());
        });
    for (std::thread &o : openers)
        o.join();
    return ports;
}

const int kPorts = 1500;
const int kThreads = 8;

} // namespace

TEST(Scale, FifteenHundredPortsOpenAtOnceAndDescriptorsPast1024)
{
    // Each port takes a descriptor here and one on the server's side.
    if (!RaiseDescriptorLimit(2 * kPorts + 512))
        GTEST_SKIP() << "cannot raise the descriptor limit to " << 2 * kPorts + 512;
    EchoServer server;
    const int before = OpenDescriptorCount();

    std::vector<HANDLE> ports = OpenMany(server.Address(), kPorts, kThreads);
    int opened = 0;
    int high = 0;
    for (HANDLE p : ports) {
        if (p == INVALID_HANDLE_VALUE)
            continue;
        ++opened;
        high += static_cast<const PortContext *>(p)->sock >= 1024;
    }
    ASSERT_EQ(opened, kPorts);
    EXPECT_GE(high, kPorts / 2) << "too few descriptors past 1024 to show anything";
    EXPECT_TRUE(server.WaitLive(kPorts));

    // Every port carries its own data both ways, exactly, whatever its descriptor number.
    for (int i = 0; i < kPorts; ++i) {
        const uint8_t out[] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0xFF, 0x0D};
        DWORD n = 0;
        ASSERT_EQ(KvWriteFile(ports[i], out, sizeof out, &n), 1) << "port " << i;
        COMMTIMEOUTS t = {0, 0, 5000, 0, 0};
        KvSetCommTimeouts(ports[i], &t);
        uint8_t in[sizeof out] = {};
        ASSERT_EQ(KvReadFile(ports[i], in, sizeof in, &n), 1) << "port " << i;
        ASSERT_EQ(n, sizeof in) << "port " << i;
        EXPECT_EQ(std::memcmp(in, out, sizeof out), 0) << "port " << i << " got another port's data";
    }
    // A line setting's settle waits on the highest descriptor too.
    const DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    EXPECT_EQ(KvSetCommState(ports.back(), &dcb), 1);

    for (HANDLE p : ports)
        KvCloseHandle(p);
    EXPECT_TRUE(server.WaitLive(0));
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(Scale, ThreeThousandOpenCloseCyclesLeaveNothingOpen)
{
    EchoServer server;
    const int before = OpenDescriptorCount();
    const int cycles = 3000;
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t; i < cycles; i += kThreads) {
                HANDLE port = KvCreateFile(server.Address().c_str());
                if (port == INVALID_HANDLE_VALUE)
                    ++failed;
                KvCloseHandle(port);
            }
        });
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(failed, 0);
    EXPECT_TRUE(server.WaitLive(0));
    EXPECT_EQ(OpenDescriptorCount(), before);
}
