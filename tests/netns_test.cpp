// Servers that vanish for real. The test runs in a network namespace of its own, where an nftables
// rule in the input hook drops a server's packets both ways: they leave the sender and are lost on
// the way, with no FIN and no reset, as when a device server loses power or a cable is pulled.
// Beside them, servers that are alive, one idle and one that stops reading for 80 s, must keep
// their connections.
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
#include "vanishing.h"

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
        EXPECT_TRUE(Shell("nft add rule inet vanish input tcp sport " + port + " drop"));
        EXPECT_TRUE(Shell("nft add rule inet vanish input tcp dport " + port + " drop"));
    }
};

TEST_F(Netns, VanishedServersFailEveryCallWithin75SecondsWhileLiveOnesStay)
{
    const size_t kBig = 16 << 20; // more than the socket buffers on both sides hold
    const Bytes big(kBig, 0x55);
    ScriptServer idleServer, pausedServer;
    HANDLE idle = KvCreateFile(idleServer.Address().c_str());
    HANDLE paused = KvCreateFile(pausedServer.Address().c_str());
    ASSERT_NE(idle, INVALID_HANDLE_VALUE);
    ASSERT_NE(paused, INVALID_HANDLE_VALUE);

    // A writer fills its window on a server that only pauses.
    pausedServer.SetReading(false);
    std::atomic<bool> pausedDone{false};
    DWORD pausedWritten = 0;
    std::thread pausedWriter([&] {
        EXPECT_EQ(KvWriteFile(paused, big.data(), kBig, &pausedWritten), 1) << "a paused server is alive";
        pausedDone = true;
    });

    Stopwatch sinceStart;
    VanishUnderEveryCall([] { return std::unique_ptr<ScriptServer>(new ScriptServer); }, Vanish, 75000);

    // 80 s after the drop the live connections are still there and carry data both ways.
    while (sinceStart.Ms() < 81000)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(pausedDone) << "a write to a server that pauses must wait, not fail";
    pausedServer.SetReading(true);
    pausedWriter.join();
    EXPECT_EQ(pausedWritten, kBig);
    EXPECT_TRUE(pausedServer.WaitReceived(Negotiation().size() + kBig, 20000));

    DWORD written = 0;
    ASSERT_EQ(KvWriteFile(idle, "ping", 4, &written), 1);
    EXPECT_TRUE(idleServer.WaitReceived(Negotiation().size() + 4));
    idleServer.Send(Text("pong"));
    SetPortTimeouts(idle, 0, 0, 2000);
    uint8_t answer[4];
    DWORD got = 0;
    EXPECT_EQ(KvReadFile(idle, answer, 4, &got), 1);
    EXPECT_EQ(std::string(answer, answer + got), "pong");
    KvCloseHandle(idle);
    KvCloseHandle(paused);
}

} // namespace
