// KvWriteFile against the scripted server: exact wire bytes and failures.
#include <gtest/gtest.h>

#include <thread>

#include "port_fixture.h"

namespace {

class Write : public PortTest {
protected:
    // Writes data and returns what the server received for it.
    Bytes WriteAndCollect(const Bytes &data, size_t expectOnWire)
    {
        DWORD written = 12345;
        EXPECT_EQ(KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written), 1);
        EXPECT_EQ(written, data.size());
        EXPECT_TRUE(server.WaitReceived(expectOnWire));
        return server.TakeReceived();
    }
};

struct WireCase {
    Bytes data;
    Bytes wire;
    const char *comment;
};

TEST_F(Write, WireBytes)
{
    // Writes go out in chunks of one txBuffer (4096 bytes): the rows put a doubled 0xFF on and
    // around a chunk's end.
    const Bytes a4094(4094, 0x41), a4095(4095, 0x41);
    Bytes all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<uint8_t>(v));
    const WireCase cases[] = {
        {B({0x41, 0xFF, 0x42}), B({0x41, 0xFF, 0xFF, 0x42}), "data 0xFF doubled"},
        {all, Join({all, B({0xFF})}), "every byte value: only 0xFF doubled"},
        {B({0x0D, 0x0A, 0x00}), B({0x0D, 0x0A, 0x00}), "CR LF NUL unchanged"},
        {B({0x0D, 0x00, 0x0D}), B({0x0D, 0x00, 0x0D}), "CR NUL and a lone CR unchanged"},
        {Bytes(2048, 0xFF), Bytes(4096, 0xFF), "2048 x FF fill one chunk"},
        {Bytes(2049, 0xFF), Bytes(4098, 0xFF), "2049 x FF: one pair in the next chunk"},
        {Join({a4095, B({0xFF})}), Join({a4095, B({0xFF, 0xFF})}), "the pair split across chunks"},
        {Join({a4095, B({0xFF, 0x42})}), Join({a4095, B({0xFF, 0xFF, 0x42})}), "split pair, then more data"},
        {Join({a4094, B({0xFF})}), Join({a4094, B({0xFF, 0xFF})}), "the pair ends a chunk exactly"},
        {Bytes(4097, 0x5A), Bytes(4097, 0x5A), "4097 plain bytes"},
    };
    for (const WireCase &c : cases)
        EXPECT_EQ(WriteAndCollect(c.data, c.wire.size()), c.wire) << c.comment;
}

TEST_F(Write, ZeroBytesSendsNothing)
{
    DWORD written = 12345;
    EXPECT_EQ(KvWriteFile(port, "", 0, &written), 1);
    EXPECT_EQ(written, 0u);
    // Something after it proves nothing came before.
    EXPECT_EQ(WriteAndCollect(B({0x31}), 1), B({0x31}));
}

TEST_F(Write, NullArgumentsTouchNothing)
{
    DWORD written = 777;
    const uint8_t data[1] = {0x41};
    EXPECT_EQ(KvWriteFile(nullptr, data, 1, &written), 0);
    EXPECT_EQ(KvWriteFile(INVALID_HANDLE_VALUE, data, 1, &written), 0);
    EXPECT_EQ(KvWriteFile(port, nullptr, 1, &written), 0);
    EXPECT_EQ(written, 777u);
    EXPECT_EQ(KvWriteFile(port, data, 1, nullptr), 0);
    EXPECT_FALSE(server.WaitReceived(1, 50));
}

TEST_F(Write, ResetConnectionFailsWithoutSignal)
{
    server.Reset();
    // The first send after a reset may still be accepted locally; a few more must fail, and the
    // process must survive them (no SIGPIPE).
    Bytes data(64 * 1024, 0x41);
    int failures = 0;
    for (int i = 0; i < 50 && failures == 0; ++i) {
        DWORD written = 12345;
        if (KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written) == 0) {
            ++failures;
            EXPECT_EQ(written, 0u);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(failures, 1);
}

} // namespace

namespace {

struct CloseCase {
    const char *why;
    size_t backlog; // bytes the device sends before the write, never read
    bool stream;    // the device keeps sending through the write and the close
    int pauseMs;    // the server stops reading this long while the write goes on
    size_t size;    // bytes written just before the close
    double maxCloseMs;
};

// Everything a successful write handed over reaches the server, however much the device sends
// meanwhile, and the close stays bounded.
TEST(WriteThenClose, EveryWrittenByteArrives)
{
    // clang-format off
    const CloseCase cases[] = {
        {"a few unread bytes, a server slow to take the write", 12, false, 100, 300000, 2500},
        {"the device streams through the write and the close", 0, true, 0, 1 << 20, 2500},
        {"behind a 1.1 MB unread backlog", 1100000, false, 0, 1 << 20, 2500},
        {"a quiet server", 0, false, 0, 100, 100},
    };
    // clang-format on
    for (const CloseCase &c : cases) {
        SCOPED_TRACE(c.why);
        ScriptServer server;
        HANDLE port = INVALID_HANDLE_VALUE;
        ASSERT_NO_FATAL_FAILURE(OpenAndTakeNegotiation(server, &port));
        if (c.backlog > 0)
            server.SendAfter(0, Bytes(c.backlog, 0x41));
        if (c.stream)
            server.StartFlood(Text("0123456789"));
        server.SetReading(c.pauseMs == 0);
        Bytes data(c.size, 0x55);
        DWORD written = 0;
        std::thread writer([&] { KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written); });
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
        server.SetReading(true);
        writer.join();
        ASSERT_EQ(written, data.size());
        Stopwatch clock;
        KvCloseHandle(port);
        EXPECT_LT(clock.Ms(), c.maxCloseMs);
        EXPECT_TRUE(server.WaitPeerClosed(5000));
        EXPECT_EQ(server.Received().size(), data.size());
    }
}

} // namespace
