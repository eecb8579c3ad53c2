// A server vanishing under a port in each kind of call: the netns and impaired-link tests share
// it. Each port has a server of its own (made by newServer); vanish makes them all disappear at
// once, then one thread per port runs its call until the call fails.
#ifndef KALVICOM_TESTS_VANISHING_H
#define KALVICOM_TESTS_VANISHING_H

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "port_fixture.h"

struct Vanishing {
    const char *what;
    std::unique_ptr<ScriptServer> server;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::thread thread;
    double failedAtMs = -1; // after the drop
};

// Reads until a read fails; a failed read delivers nothing.
inline void ReadUntilFailure(HANDLE port)
{
    ReadOutcome r;
    while ((r = ReadNow(port, 10)).result == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(r.data.empty());
}

// Every call fails within boundMs of the drop and stays failed. bigWrite is more than the socket
// buffers on both sides hold; blockedMs is how long that write is blocked before the drop.
inline void VanishUnderEveryCall(const std::function<std::unique_ptr<ScriptServer>()> &newServer,
                                 const std::function<void(const ScriptServer &)> &vanish, double boundMs,
                                 size_t bigWrite = 16 << 20, int blockedMs = 1000)
{
    struct Mode {
        const char *what;
        DWORD interval, multiplier, constant;
    };
    const Mode modes[] = {
        {"unbounded read", 0, 0, 0},
        {"immediate reads", MAXDWORD, 0, 0},
        {"first-byte reads", MAXDWORD, MAXDWORD, 500},
        {"total reads", 0, 0, 1000},
        {"a request in flight, then an unbounded read", 0, 0, 0},
        {"a write blocked on a full window", 0, 0, 0},
    };
    const size_t n = std::size(modes);
    std::vector<Vanishing> ports(n);
    for (size_t i = 0; i < n; ++i) {
        ports[i].what = modes[i].what;
        ports[i].server = newServer();
        ports[i].port = KvCreateFile(ports[i].server->Address().c_str());
        ASSERT_NE(ports[i].port, INVALID_HANDLE_VALUE) << modes[i].what;
        SetPortTimeouts(ports[i].port, modes[i].interval, modes[i].multiplier, modes[i].constant);
    }
    Vanishing &blocked = ports.back();
    blocked.server->SetReading(false);
    const Bytes big(bigWrite, 0x55);
    std::thread blockedWriter([&] {
        DWORD written = 99;
        EXPECT_EQ(KvWriteFile(blocked.port, big.data(), static_cast<DWORD>(big.size()), &written), 0);
        EXPECT_EQ(written, 0u);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(blockedMs));

    for (Vanishing &v : ports)
        vanish(*v.server);
    Stopwatch sinceDrop;
    for (size_t i = 0; i < n; ++i) {
        Vanishing &v = ports[i];
        v.thread = std::thread([&v, &sinceDrop, i] {
            if (i + 1 == n) {
                // Behind the blocked write, line settings go out until the queue takes no more
                // (a frame may still fit into the last queued segment), then one blocks and fails.
                const DCB settings[] = {Dcb(9600, 8, NOPARITY, ONESTOPBIT), Dcb(19200, 8, NOPARITY, ONESTOPBIT)};
                for (int k = 0; KvSetCommState(v.port, &settings[k % 2]) == 1; ++k) {
                }
            } else {
                if (i + 2 == n) {
                    DWORD written = 0;
                    EXPECT_EQ(KvWriteFile(v.port, "request", 7, &written), 1);
                }
                ReadUntilFailure(v.port);
            }
            v.failedAtMs = sinceDrop.Ms();
            // The connection stays lost for every call.
            EXPECT_EQ(ReadNow(v.port, 10).result, 0);
            DWORD written = 99;
            EXPECT_EQ(KvWriteFile(v.port, "x", 1, &written), 0);
        });
    }
    for (Vanishing &v : ports) {
        v.thread.join();
        std::printf("%s: failed %.1f s after the drop\n", v.what, v.failedAtMs / 1000);
        std::fflush(stdout); // seen even if the test is later stopped by its time limit
        EXPECT_LE(v.failedAtMs, boundMs) << v.what;
        EXPECT_GE(v.failedAtMs, 0.0) << v.what;
    }
    blockedWriter.join();
    for (Vanishing &v : ports) {
        Stopwatch clock;
        KvCloseHandle(v.port);
        EXPECT_LE(clock.Ms(), 1000.0) << v.what << ": the close of a lost port has nothing to wait for";
    }
}

#endif
