// Input a caller or a device server should not send, and must not be able to use against the
// library: address texts whose numbers only look in range, and Telnet streams that never end,
// flood the port with negotiation or put every command between the data.
#include <gtest/gtest.h>

#include <thread>

#include "fault_support.h"
#include "port/address.h"

// Texts the parser refuses although a wrapping or negating reading would bring every number into
// range: an open must never reach a host or port the text does not name.
struct RefusedText {
    const char *text;
    const char *why;
};

// clang-format off
static const RefusedText kRefusedTexts[] = {
    {"1.2.3.4:-4294967295", "negated port would wrap to 1"},
    {"1.2.3.-4294967295:23", "negated address number would wrap to 1"},
    {"-4294967041.0.0.1:23", "negated address number would wrap to 255"},
    {"127.0.0.1:-1", "negated port would wrap past 65535"},
    {"127.0.0.1:4294967296", "port just past 32 bits"},
    {"127.0.0.1:18446744073709551617", "port past 64 bits (would wrap to 1)"},
    {"256.0.0.1:23", "address number just past 255"},
    {"127.0.0.1:65536", "port just past 65535"},
};
// clang-format on

TEST(HostileAddress, RefusesNumbersOutOfRangeWhateverTheirSpelling)
{
    for (const RefusedText &c : kRefusedTexts) {
        uint8_t address[4] = {1, 2, 3, 4};
        uint32_t port = 77;
        EXPECT_FALSE(ParseAddress(c.text, address, &port)) << c.text << ": " << c.why;
        EXPECT_EQ(port, 77u) << c.text << ": a refused text leaves the port alone";
    }
}

TEST(HostileAddress, MinusZeroIsZero)
{
    uint8_t address[4];
    uint32_t port = 77;
    ASSERT_TRUE(ParseAddress("-0.0.0.1:-0", address, &port));
    EXPECT_EQ(address[0], 0);
    EXPECT_EQ(port, 0u);
}

// --- Telnet streams ----------------------------------------------------------------------------

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

// Every command byte after IAC, between data, sent to the port one byte per send.
struct CommandCase {
    Bytes wire;
    Bytes data;
    const char *why;
};

TEST_F(FaultTest, DataMixedWithEveryTelnetCommand)
{
    // clang-format off
    std::vector<CommandCase> cases = {
        {B({0x41, 0xFF, 0xF0, 0x42}), B({0x41, 0x42}), "SE outside a subnegotiation stands alone"},
        {B({0x41, 0xFF, 0xFA, 0x2C, 0x42, 0xFF, 0xFF, 0x43, 0xFF, 0xF0, 0x44}), B({0x41, 0x44}),
         "SB: everything up to IAC SE is dropped, an escaped 0xFF too"},
        {B({0x41, 0xFF, 0xFB, 0xFF, 0x42}), B({0x41, 0x42}), "the option byte is dropped even when it is 0xFF"},
        {B({0x41, 0xFF, 0xFF, 0x42}), B({0x41, 0xFF, 0x42}), "IAC IAC is a data 0xFF"},
        {B({0xFF, 0xFA, 0x2C, 0xFF, 0xF1, 0xF0, 0x43}), B({0x43}),
         "inside a subnegotiation an IAC before another command stays pending: the next SE ends it"},
        {B({0x41, 0xFF, 0x00, 0x42, 0xFF, 0x7F, 0x43}), B({0x41, 0x42, 0x43}),
         "a byte below SE after IAC is taken as a command of its own"},
        {B({0x0D, 0x00, 0x0A, 0xFF, 0xF1, 0x0D, 0x0A}), B({0x0D, 0x00, 0x0A, 0x0D, 0x0A}), "no end-of-line processing"},
    };
    // clang-format on
    for (int command = 0xF1; command <= 0xF9; ++command) // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
        cases.push_back({B({0x41, 0xFF, command, 0x42}), B({0x41, 0x42}), "a command standing alone"});
    for (int command = 0xFB; command <= 0xFE; ++command) // WILL, WONT, DO, DONT
        cases.push_back({B({0x41, 0xFF, command, 0x2C, 0x42}), B({0x41, 0x42}), "negotiation drops its option byte"});

    for (const CommandCase &c : cases) {
        SCOPED_TRACE(Hex(c.wire) + ": " + c.why);
        OpenPort();
        server.SendBytewise(c.wire);
        SetPortTimeouts(port, 0, 0, 3000);
        ReadOutcome r = ReadNow(port, static_cast<DWORD>(c.data.size()));
        EXPECT_EQ(Hex(r.data), Hex(c.data));
        SetPortTimeouts(port, 0, 0, 30);
        ReadOutcome extra = ReadNow(port, 8);
        EXPECT_EQ(Hex(extra.data), "") << "nothing more may come out";
        ClosePort();
    }
}
