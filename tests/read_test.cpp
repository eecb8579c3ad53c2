// KvReadFile and KvSetCommTimeouts against the scripted server.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "port/port_context.h"
#include "port/read.h"
#include "port_fixture.h"

namespace
{

using Read = PortTest;

const DWORD M = MAXDWORD;

// How the time-outs make the receive loop run a read of count bytes: how long in all, and whether
// the first data ends it. No clock needed.
TEST(ReadMode, ChosenFromTheTimeouts)
{
    const uint32_t kNoLimit = kNetWaitForever;
    const uint32_t kLongest = kNetLongestWait;
    struct {
        DWORD interval, multiplier, constant, count;
        uint32_t ms;
        bool untilData;
        const char *comment;
    } cases[] = {
        {0, 0, 0, 10, kNoLimit, false, "all zero: unbounded, wait for count bytes"},
        {M, 0, 0, 10, 0, false, "MAXDWORD, 0, 0: immediate, one look"},
        {M, M, 500, 10, 500, true, "first byte: the constant, whatever the count"},
        {M, M, 0, 10, kLongest, false, "first-byte look-alike with constant 0: total, 10 x MAXDWORD"},
        {M, M, M, 1, kLongest, false, "first-byte look-alike with constant MAXDWORD"},
        {M, 0, 1, 10, 1, false, "immediate look-alike with a constant"},
        {5, 0, 0, 100, 0, false, "interval alone: total mode with T = 0, one poll"},
        {0, 0, 10, 100, 10, false, "the defaults"},
        {0, 2, 100, 50, 200, false, "50 x 2 + 100"},
        {0, 1, 0x7FFFFFFE, 1, kLongest, false, "exactly the longest wait"},
        {0, 0x80000000u, 0, 2, kLongest, false, "2 x 2^31 would wrap to 0 in 32 bits"},
        {0, 3, 1, 0x55555555u, kLongest, false, "product plus constant would wrap to 0"},
        {0, 0, M, 1, kLongest, false, "constant alone at its largest"},
    };
    for (const auto &c : cases) {
        const ReceiveRules rules = ChooseReadMode(c.interval, c.multiplier, c.constant, c.count);
        EXPECT_EQ(rules.ms, c.ms) << c.comment;
        EXPECT_EQ(rules.untilData, c.untilData) << c.comment;
        EXPECT_FALSE(rules.fullWaits) << c.comment;
    }
}

// The two modes that do not end on data, with a silent device: how long a read takes.
struct SilentCase {
    DWORD interval, multiplier, constant, count;
    double atLeast, atMost;
    const char *comment;
};

TEST_F(Read, SilentDeviceTiming)
{
    const SilentCase cases[] = {
        {M, 0, 0, 100, 0, 30, "immediate: returns at once"},
        {M, M, 300, 100, 290, 450, "first byte: waits the constant"},
    };
    for (const SilentCase &c : cases) {
        SetTimeouts(c.interval, c.multiplier, c.constant);
        Stopwatch clock;
        Bytes got = ReadBytes(c.count);
        double took = clock.Ms();
        EXPECT_TRUE(got.empty()) << c.comment;
        EXPECT_GE(took, c.atLeast) << c.comment;
        EXPECT_LE(took, c.atMost) << c.comment;
    }
}

// Data arriving while a read waits: what it delivers, and when it returns.
TEST_F(Read, DataArrivingDuringTheWait)
{
    struct Send {
        int atMs;
        Bytes bytes;
    };
    struct {
        DWORD interval, multiplier, constant, count;
        std::vector<Send> sends;
        const char *expect;
        double atLeast, atMost;
        const char *comment;
    } cases[] = {
        {M, M, 2000, 10, {{50, B({0x41, 0x42})}}, "41 42", 40, 500, "first byte: returns on the first data"},
        {M, M, 400, 10, {{30, B({0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0})}, {150, B({0x43})}}, "43", 140, 390,
         "first byte: a notification without data does not end the wait"},
        {0, 0, 0, 10, {{20, B({0x31, 0x32, 0x33})}, {120, B({0xFF, 0xFB, 0x01, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x30})}},
         "31 32 33 34 35 36 37 38 39 30", 110, 1000, "unbounded: waits for exactly count bytes"},
        {0, 2, 100, 50, {{30, B({0x61, 0x62})}}, "61 62", 190, 350, "total: what arrived by 50 x 2 + 100 ms"},
        {0, 0, 2000, 3, {{30, B({0x61, 0x62, 0x63})}}, "61 62 63", 20, 500, "total: ends early when count arrived"},
    };
    for (const auto &c : cases) {
        SetTimeouts(c.interval, c.multiplier, c.constant);
        for (const Send &send : c.sends)
            server.SendAfter(send.atMs, send.bytes);
        Stopwatch clock;
        EXPECT_EQ(Hex(ReadBytes(c.count)), c.expect) << c.comment;
        EXPECT_GE(clock.Ms(), c.atLeast) << c.comment;
        EXPECT_LE(clock.Ms(), c.atMost) << c.comment;
    }
}

TEST_F(Read, ImmediateModeUsesBufferedBytesWithoutWaiting)
{
    // Ten data bytes arrive in one segment; a 5-byte read leaves 5 undecoded in rxBuffer.
    server.Send(B({0x30, 0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0x36, 0x37, 0x38, 0x39}));
    SetTimeouts(0, 0, 500);
    EXPECT_EQ(Hex(ReadBytes(5)), "30 31 32 33 34");
    EXPECT_GT(static_cast<const PortContext *>(port)->inbound.rxPending, 0u);
    SetTimeouts(M, 0, 0);
    EXPECT_EQ(Hex(ReadBytes(100)), "FF 36 37 38 39");
    EXPECT_TRUE(ReadBytes(100).empty());
}

TEST_F(Read, SplitSequencesAcrossSegments)
{
    SetTimeouts(0, 0, 1000);
    server.Send(B({0x41, 0xFF}));
    server.SendAfter(40, B({0xFB, 0x01, 0x42, 0xFF}));
    server.SendAfter(80, B({0xFF, 0x43}));
    EXPECT_EQ(Hex(ReadBytes(4)), "41 42 FF 43");
}

TEST_F(Read, CountZeroAndNullArguments)
{
    uint8_t buffer[4];
    DWORD got = 777;
    EXPECT_EQ(KvReadFile(port, buffer, 0, &got), 1);
    EXPECT_EQ(got, 0u);
    got = 777;
    EXPECT_EQ(KvReadFile(nullptr, buffer, 4, &got), 0);
    EXPECT_EQ(KvReadFile(INVALID_HANDLE_VALUE, buffer, 4, &got), 0);
    EXPECT_EQ(KvReadFile(port, nullptr, 4, &got), 0);
    EXPECT_EQ(got, 777u);
    EXPECT_EQ(KvReadFile(port, buffer, 4, nullptr), 0);

    COMMTIMEOUTS t = {1, 2, 3, 4, 5};
    EXPECT_EQ(KvSetCommTimeouts(nullptr, &t), 0);
    EXPECT_EQ(KvSetCommTimeouts(port, nullptr), 0);
    const PortContext *pc = static_cast<const PortContext *>(port);
    EXPECT_EQ(pc->readTotalTimeoutConstant, 10u) << "a refused call changes nothing";
}

TEST_F(Read, ConnectionEndsDuringRead)
{
    struct Case {
        DWORD interval, multiplier, constant;
        Bytes before; // data delivered earlier in the same call, then lost with the failure
        bool reset;
        const char *comment;
    };
    const Case cases[] = {
        {0, 0, 0, B({0x41, 0x42}), false, "unbounded, orderly close"},
        {0, 0, 1000, B({0x41, 0x42}), false, "total, orderly close"},
        {0, 0, 1000, B({0x41}), true, "total, reset"},
        {M, M, 1000, B({}), true, "first byte, reset"},
        {M, M, 1000, B({0xFF, 0xFB, 0x01}), false, "first byte, control then close"},
    };
    for (const Case &c : cases) {
        ScriptServer other;
        HANDLE p = KvCreateFile(other.Address().c_str());
        ASSERT_NE(p, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t = {c.interval, c.multiplier, c.constant, 0, 0};
        KvSetCommTimeouts(p, &t);
        if (!c.before.empty())
            other.SendAfter(10, c.before);
        std::thread end([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (c.reset)
                other.Reset();
            else
                other.Close();
        });
        uint8_t buffer[10];
        DWORD got = 777;
        EXPECT_EQ(KvReadFile(p, buffer, sizeof buffer, &got), 0) << c.comment;
        EXPECT_EQ(got, 0u) << c.comment;
        end.join();
        // Once the connection is gone every further read fails.
        got = 777;
        EXPECT_EQ(KvReadFile(p, buffer, sizeof buffer, &got), 0) << c.comment;
        EXPECT_EQ(got, 0u) << c.comment;
        KvCloseHandle(p);
    }
}

// Megabytes of random data both ways: written, they reach the server whole with every 0xFF
// doubled; sent back with control traffic sprinkled in, they are read back exactly.
TEST_F(Read, RandomMegabytesArriveExactlyBothWays)
{
    std::mt19937 random(854);
    Bytes data(3 * 1024 * 1024 + 5);
    for (uint8_t &b : data)
        b = static_cast<uint8_t>(random());
    DWORD written = 0;
    ASSERT_EQ(KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written), 1);
    EXPECT_EQ(written, data.size());
    const Bytes escaped = Escaped(data);
    ASSERT_TRUE(server.WaitReceived(escaped.size(), 20000));
    EXPECT_TRUE(server.Received() == escaped);

    Bytes wire;
    for (size_t i = 0; i < data.size(); ++i) {
        wire.push_back(data[i]);
        if (data[i] == 0xFF)
            wire.push_back(0xFF);
        if (i % 100000 == 0) // control traffic sprinkled in
            wire.insert(wire.end(), {0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0, 0xFF, 0xF1});
    }
    std::thread sender([&] { server.Send(wire); });
    SetTimeouts(0, 0, 0);
    Bytes got;
    Bytes piece(7000);
    while (got.size() < data.size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(piece.size(), data.size() - got.size()));
        ASSERT_EQ(KvReadFile(port, piece.data(), want, &n), 1);
        ASSERT_EQ(n, want);
        got.insert(got.end(), piece.begin(), piece.begin() + n);
    }
    sender.join();
    EXPECT_TRUE(got == data);
}

} // namespace

namespace
{

using ReadLimits = PortTest;

TEST_F(ReadLimits, FreshPortGivesUpAfterTenMs)
{
    Stopwatch clock;
    EXPECT_TRUE(ReadBytes(100).empty());
    EXPECT_GE(clock.Ms(), 9);
    EXPECT_LE(clock.Ms(), 80);
}

} // namespace

// A Telnet Synch (IAC, then DM as urgent data) decodes as the two-byte command it is, and a plain
// urgent byte is data in its place.
TEST_F(Read, UrgentDataStaysInTheStream)
{
    struct {
        Bytes before;
        uint8_t urgent;
        const char *expect;
    } cases[] = {
        {Text("abc\xFF"), 0xF2, "abcdef"},
        {Text("abc"), 'X', "abcXdef"},
    };
    SetTimeouts(0, 0, 2000);
    for (const auto &c : cases) {
        server.Send(c.before);
        server.SendUrgent(c.urgent);
        server.Send(Text("def"));
        const size_t size = std::string(c.expect).size();
        Bytes got = ReadBytes(static_cast<DWORD>(size));
        EXPECT_EQ(std::string(got.begin(), got.end()), c.expect);
    }
}
