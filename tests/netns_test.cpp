// Servers that vanish for real. The test runs in a network namespace of its own, where an nftables
// rule in the input hook drops a server's packets both ways: they leave the sender and are lost on
// the way, with no FIN and no reset, as when a device server loses power or a cable is pulled.
// Beside them, servers that are alive, one idle and one that stops reading for a minute, must
// keep their connections.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "port_fixture.h"

namespace
{

bool Shell(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class Netns : public ::testing::Test
{
  protected:
    // Before any socket or thread of the test exists: they all live in the new namespace.
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "making a network namespace needs root";
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "no network namespace: unshare(CLONE_NEWNET): " << std::strerror(errno);
        if (!Shell("ip link set lo up"))
            GTEST_SKIP() << "ip (iproute2) could not bring up loopback in the namespace";
        if (!Shell("nft add table inet vanish") ||
            !Shell("nft 'add chain inet vanish input { type filter hook input priority 0 ; }'"))
            GTEST_SKIP() << "nft (nftables) could not make a filter chain in the namespace";
    }

    // From now on every packet from or to the server's port is lost.
    static void Vanish(const ScriptServer &server)
    {
        const std::string port = std::to_string(server.Port());
        ASSERT_TRUE(Shell("nft add rule inet vanish input tcp sport " + port + " drop"));
        ASSERT_TRUE(Shell("nft add rule inet vanish input tcp dport " + port + " drop"));
    }
};

// One port on a server of its own; a thread runs its calls and notes when they failed.
struct Case {
    const char *what;
    std::unique_ptr<ScriptServer> server{new ScriptServer};
    HANDLE port = INVALID_HANDLE_VALUE;
    std::thread thread;
    std::atomic<double> failedAtMs{-1};
};

// Reads until a read fails; a failed read delivers nothing.
void ReadUntilFailure(HANDLE port)
{
    ReadOutcome r;
    while ((r = ReadNow(port, 10)).result == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(r.data.empty());
}

TEST_F(Netns, VanishedServersFailEveryCallWithin45SecondsWhileLiveOnesStay)
{
    struct Timeouts {
        const char *mode;
        DWORD interval, multiplier, constant;
    };
    const Timeouts modes[] = {
        {"unbounded read", 0, 0, 0},
        {"immediate reads", MAXDWORD, 0, 0},
        {"first-byte reads", MAXDWORD, MAXDWORD, 500},
        {"total reads", 0, 0, 1000},
        {"a request in flight, then an unbounded read", 0, 0, 0},
        {"a write blocked on a full window", 0, 0, 0},
    };
    const size_t kBig = 16 << 20; // more than the socket buffers on both sides hold
    const Bytes big(kBig, 0x55);
    std::vector<std::unique_ptr<Case>> vanishing;
    for (const Timeouts &m : modes) {
        vanishing.emplace_back(new Case);
        Case &c = *vanishing.back();
        c.what = m.mode;
        c.port = KvCreateFile(c.server->Address().c_str());
        ASSERT_NE(c.port, INVALID_HANDLE_VALUE);
        SetPortTimeouts(c.port, m.interval, m.multiplier, m.constant);
    }
    Case idle, paused;
    idle.port = KvCreateFile(idle.server->Address().c_str());
    paused.port = KvCreateFile(paused.server->Address().c_str());
    ASSERT_NE(idle.port, INVALID_HANDLE_VALUE);
    ASSERT_NE(paused.port, INVALID_HANDLE_VALUE);

    // Two writers fill their windows: one server will vanish, the other only pauses.
    Case &blocked = *vanishing.back();
    blocked.server->SetReading(false);
    paused.server->SetReading(false);
    std::atomic<bool> pausedDone{false};
    DWORD pausedWritten = 0;
    paused.thread = std::thread([&] {
        EXPECT_EQ(KvWriteFile(paused.port, big.data(), kBig, &pausedWritten), 1) << "a paused server is alive";
        pausedDone = true;
    });
    std::thread blockedWriter([&] {
        DWORD written = 99;
        EXPECT_EQ(KvWriteFile(blocked.port, big.data(), kBig, &written), 0);
        EXPECT_EQ(written, 0u);
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));

    for (auto &c : vanishing)
        Vanish(*c->server);
    Stopwatch sinceDrop;
    for (size_t i = 0; i < vanishing.size(); ++i) {
        Case &c = *vanishing[i];
        c.thread = std::thread([&c, &sinceDrop, i, &modes] {
            if (i + 1 == std::size(modes)) {
                // Behind the blocked write, line settings go out until the queue takes no more
                // (a frame may still fit into the last queued segment), then one blocks and fails.
                const DCB settings[] = {Dcb(9600, 8, NOPARITY, ONESTOPBIT), Dcb(19200, 8, NOPARITY, ONESTOPBIT)};
                for (int n = 0; KvSetCommState(c.port, &settings[n % 2]) == 1; ++n) {
                }
            } else {
                if (i + 2 == std::size(modes)) {
                    DWORD written = 0;
                    EXPECT_EQ(KvWriteFile(c.port, "request", 7, &written), 1);
                }
                ReadUntilFailure(c.port);
            }
            c.failedAtMs = sinceDrop.Ms();
            // The connection stays lost for every call.
            EXPECT_EQ(ReadNow(c.port, 10).result, 0);
            DWORD written = 99;
            EXPECT_EQ(KvWriteFile(c.port, "x", 1, &written), 0);
        });
    }
    for (auto &c : vanishing) {
        c->thread.join();
        std::printf("%s: failed %.1f s after the drop\n", c->what, c->failedAtMs.load() / 1000);
        EXPECT_LE(c->failedAtMs.load(), 45000.0) << c->what;
        EXPECT_GE(c->failedAtMs.load(), 0.0) << c->what;
    }
    blockedWriter.join();

    // A minute after the drop the live connections are still there and carry data both ways.
    while (sinceDrop.Ms() < 60000)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(pausedDone) << "a write to a server that pauses must wait, not fail";
    paused.server->SetReading(true);
    paused.thread.join();
    EXPECT_EQ(pausedWritten, kBig);
    EXPECT_TRUE(paused.server->WaitReceived(Negotiation().size() + kBig, 20000));

    DWORD written = 0;
    ASSERT_EQ(KvWriteFile(idle.port, "ping", 4, &written), 1);
    EXPECT_TRUE(idle.server->WaitReceived(Negotiation().size() + 4));
    idle.server->Send(Text("pong"));
    SetPortTimeouts(idle.port, 0, 0, 2000);
    uint8_t answer[4];
    DWORD got = 0;
    EXPECT_EQ(KvReadFile(idle.port, answer, 4, &got), 1);
    EXPECT_EQ(std::string(answer, answer + got), "pong");

    for (auto &c : vanishing)
        KvCloseHandle(c->port);
    KvCloseHandle(idle.port);
    KvCloseHandle(paused.port);
}

} // namespace
