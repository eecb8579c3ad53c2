// Telnet streams a device server should not send, and must not be able to use against the
// library: a subnegotiation that never ends, and negotiation flooding the port, alone or between
// the data.
#include <gtest/gtest.h>

#include <thread>

#include "fault_support.h"

namespace {

const DWORD kMax = MAXDWORD;

// Every call stays within its time limits while the server sends control traffic without end,
// and writing still works.
void ExpectBoundedUnderFlood(HANDLE port, ScriptServer &server)
{
    struct Mode {
        const char *name;
        DWORD interval, multiplier, constant;
        double minMs, maxMs;
    };
    // clang-format off
    const Mode modes[] = {
        {"total", 0, 0, 200, 190, 1000},
        {"first byte", kMax, kMax, 200, 190, 1000},
        {"immediate", kMax, 0, 0, 0, 100},
    };
    // clang-format on
    for (const Mode &m : modes) {
        SCOPED_TRACE(m.name);
        SetPortTimeouts(port, m.interval, m.multiplier, m.constant);
        ReadOutcome r = ReadNow(port, 100);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.data.size(), 0u) << "control traffic is no data";
        EXPECT_GE(r.ms, m.minMs);
        EXPECT_LE(r.ms, m.maxMs);
    }
    const DCB dcb = Dcb(19200, 7, EVENPARITY, TWOSTOPBITS);
    Stopwatch clock;
    EXPECT_EQ(KvSetCommState(port, &dcb), 1);
    EXPECT_LE(clock.Ms(), 1000.0) << "four settles must end although the traffic does not";

    server.TakeReceived();
    DWORD written = 0;
    const uint8_t out[] = {0x30, 0xFF, 0x31};
    EXPECT_EQ(KvWriteFile(port, out, 3, &written), 1);
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(server.WaitReceived(4));
    // The settings' frames may still be arriving: the written bytes come last.
    const Bytes got = server.Received();
    EXPECT_EQ(Hex(Bytes(got.end() - 4, got.end())), "30 FF FF 31");
}

} // namespace

TEST_F(FaultTest, EndlessSubnegotiation)
{
    OpenPort();
    server.Send(B({0xFF, 0xFA, 0x2C, 0x07}));
    Bytes unit;
    for (int b = 0; b < 0xFF; ++b)
        unit.push_back(static_cast<uint8_t>(b)); // every value but IAC: the subnegotiation goes on
    server.StartFlood(unit);
    ExpectBoundedUnderFlood(port, server);
    server.StopFlood(B({0xFF, 0xF0, 0x41, 0x42}));
    SetPortTimeouts(port, 0, 0, 10000);
    ReadOutcome r = ReadNow(port, 2);
    EXPECT_EQ(Hex(r.data), "41 42") << "the end of the subnegotiation brings the data back";
}

TEST_F(FaultTest, NegotiationFloodFromTheFirstByte)
{
    const Bytes unit = B({0xFF, 0xFB, 0x01, 0xFF, 0xFD, 0x03, 0xFF, 0xFC, 0x05, 0xFF, 0xFE, 0x2C,
                          0xFF, 0xF1, 0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0, 0xFF, 0xF9});
    // The flood starts the moment the connection is accepted, so the open settles under it.
    Stopwatch clock;
    double openMs = 0;
    std::thread opener([&] {
        port = KvCreateFile(server.Address().c_str());
        openMs = clock.Ms();
    });
    server.StartFlood(unit);
    opener.join();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_LE(openMs, 500.0) << "the open's settle must end although the traffic does not";
    ExpectBoundedUnderFlood(port, server);
    server.StopFlood(B({0x41, 0xFF, 0xFF, 0x42}));
    SetPortTimeouts(port, 0, 0, 10000);
    ReadOutcome r = ReadNow(port, 3);
    EXPECT_EQ(Hex(r.data), "41 FF 42");
}

TEST_F(FaultTest, DataInterleavedWithANegotiationFlood)
{
    OpenPort();
    // Per unit: negotiation, A, a whole subnegotiation, B, a lone command.
    server.StartFlood(
        B({0xFF, 0xFB, 0x01, 0x41, 0xFF, 0xFA, 0x2C, 0x65, 0x00, 0xFF, 0xFF, 0xFF, 0xF0, 0x42, 0xFF, 0xF1}));
    SetPortTimeouts(port, 0, 0, 10000);
    const DWORD count = 200000;
    ReadOutcome r = ReadNow(port, count);
    ASSERT_EQ(r.data.size(), count);
    size_t wrong = 0;
    for (size_t i = 0; i < r.data.size(); ++i)
        wrong += r.data[i] != (i % 2 ? 0x42 : 0x41);
    EXPECT_EQ(wrong, 0u) << "data bytes lost, doubled or mixed with control";
    // Closing the port while the flood goes on ends the flood with a failed send.
}
