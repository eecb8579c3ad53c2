// KvSetCommState and friends: the exact COM-PORT-OPTION frames, their order and the cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "port_fixture.h"

// The kinds of server by name, in test names and messages.
static void PrintTo(Strictness strictness, std::ostream *out)
{
    const char *names[] = {"Lenient", "WaitsForWill", "AgreedOptionsOnly"};
    *out << names[static_cast<int>(strictness)];
}

namespace {

class LineSettings : public PortTest {
protected:
    // Applies a record and returns its result and the frames the server received for it.
    Bytes Apply(const DCB &dcb, BOOL expected)
    {
        EXPECT_EQ(KvSetCommState(port, &dcb), expected);
        server.WaitReceived(1000000, 60); // whatever arrives shortly
        return server.TakeReceived();
    }
};

// The same calls against each kind of server: the lenient one records the frames, the strict ones
// apply them to their device only when the opening has agreed the option.
class LineSettingsOn : public LineSettings, public ::testing::WithParamInterface<Strictness> {
protected:
    void SetUp() override
    {
        server.SetStrictness(GetParam());
        LineSettings::SetUp();
    }
    // A strict server's device runs as KvGetCommState reports.
    void ExpectDeviceAgrees(const char *comment)
    {
        if (GetParam() == Strictness::kLenient)
            return; // no device behind it
        DCB got = Dcb(0, 0, 0, 0);
        ASSERT_EQ(KvGetCommState(port, &got), 1);
        const uint8_t stopSize[] = {1, 3, 2}; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
        const DeviceLine line = server.Line();
        EXPECT_EQ(line.baud, got.BaudRate) << comment;
        EXPECT_EQ(line.dataSize, got.ByteSize) << comment;
        EXPECT_EQ(line.parity, got.Parity + 1) << comment;
        EXPECT_EQ(line.stopSize, got.StopBits < 3 ? stopSize[got.StopBits] : 0) << comment;
    }
};

INSTANTIATE_TEST_SUITE_P(Servers, LineSettingsOn,
                         ::testing::Values(Strictness::kLenient, Strictness::kWaitsForWill,
                                           Strictness::kAgreedOptionsOnly),
                         [](const ::testing::TestParamInfo<Strictness> &info) {
                             return ::testing::PrintToString(info.param);
                         });

TEST_F(LineSettings, FreshPortSendsAllFourInOrder)
{
    Stopwatch clock;
    Bytes wire = Apply(Dcb(9600, 8, NOPARITY, ONESTOPBIT), 1);
    EXPECT_EQ(Hex(wire), Hex(LineFrames(9600, 8, 1, 1)));
    // Same record again: nothing to send, returns at once.
    clock = Stopwatch();
    EXPECT_EQ(KvSetCommState(port, &(const DCB &)Dcb(9600, 8, NOPARITY, ONESTOPBIT)), 1);
    EXPECT_LE(clock.Ms(), 30);
    EXPECT_FALSE(server.WaitReceived(1, 50));
}

TEST_F(LineSettings, AllFourTakeFortyToEightyMs)
{
    DCB dcb = Dcb(19200, 7, EVENPARITY, TWOSTOPBITS);
    Stopwatch clock;
    EXPECT_EQ(KvSetCommState(port, &dcb), 1);
    EXPECT_GE(clock.Ms(), 38);
    EXPECT_LE(clock.Ms(), 160); // 40 to 80 ms, with room for a busy machine
}

// A record to apply, and the frames it must put on the wire.
struct FrameCase {
    DCB dcb;
    Bytes wire;
    const char *comment;
};

TEST_P(LineSettingsOn, ValueCoding)
{
    // Start from a known state, then change one setting at a time.
    Apply(Dcb(9600, 8, NOPARITY, ONESTOPBIT), 1);
    ExpectDeviceAgrees("9600 8N1 on a fresh port");
    const FrameCase cases[] = {
        {Dcb(115200, 8, NOPARITY, ONESTOPBIT), BaudFrame(0x00, 0x01, 0xC2, 0x00), "115200"},
        {Dcb(300, 8, NOPARITY, ONESTOPBIT), BaudFrame(0x00, 0x00, 0x01, 0x2C), "300"},
        {Dcb(50, 8, NOPARITY, ONESTOPBIT), BaudFrame(0x00, 0x00, 0x00, 0x32), "50"},
        {Dcb(50, 5, NOPARITY, ONESTOPBIT), SettingFrame(2, 5), "5 data bits"},
        {Dcb(50, 5, ODDPARITY, ONESTOPBIT), SettingFrame(3, 2), "odd"},
        {Dcb(50, 5, EVENPARITY, ONESTOPBIT), SettingFrame(3, 3), "even"},
        {Dcb(50, 5, MARKPARITY, ONESTOPBIT), SettingFrame(3, 4), "mark"},
        {Dcb(50, 5, SPACEPARITY, ONESTOPBIT), SettingFrame(3, 5), "space"},
        {Dcb(50, 5, NOPARITY, ONESTOPBIT), SettingFrame(3, 1), "none"},
        {Dcb(50, 5, NOPARITY, TWOSTOPBITS), SettingFrame(4, 2), "two stop bits"},
        {Dcb(50, 5, NOPARITY, ONE5STOPBITS), SettingFrame(4, 3), "one and a half"},
        {Dcb(50, 5, NOPARITY, ONESTOPBIT), SettingFrame(4, 1), "one"},
        {Dcb(38400, 6, ODDPARITY, ONESTOPBIT), Join({BaudFrame(0, 0, 0x96, 0), SettingFrame(2, 6), SettingFrame(3, 2)}),
         "three changes, in order"},
        {Dcb(9600, 7, EVENPARITY, TWOSTOPBITS),
         Join({BaudFrame(0, 0, 0x25, 0x80), SettingFrame(2, 7), SettingFrame(3, 3), SettingFrame(4, 2)}), "9600 7E2"},
        {Dcb(19200, 8, NOPARITY, ONESTOPBIT),
         Join({BaudFrame(0, 0, 0x4B, 0), SettingFrame(2, 8), SettingFrame(3, 1), SettingFrame(4, 1)}), "19200 8N1"},
    };
    for (const FrameCase &c : cases) {
        EXPECT_EQ(Hex(Apply(c.dcb, 1)), Hex(c.wire)) << c.comment; // and nothing in answer to the server
        ExpectDeviceAgrees(c.comment);
    }
}

TEST_P(LineSettingsOn, RefusalsStopAtTheFirstBadValue)
{
    Apply(Dcb(9600, 8, NOPARITY, ONESTOPBIT), 1);
    const FrameCase cases[] = {
        {Dcb(14400, 7, EVENPARITY, TWOSTOPBITS), B({}), "14400 is not accepted: nothing sent"},
        {Dcb(9600, 4, EVENPARITY, TWOSTOPBITS), B({}), "ByteSize 4 with unchanged baud: nothing sent"},
        {Dcb(9600, 9, NOPARITY, ONESTOPBIT), B({}), "ByteSize 9"},
        {Dcb(2400, 8, 5, ONESTOPBIT), BaudFrame(0, 0, 0x09, 0x60), "baud sent and kept, parity 5 refused"},
        {Dcb(2400, 7, NOPARITY, 3), SettingFrame(2, 7), "size sent and kept, stop bits 3 refused"},
        {Dcb(0, 8, NOPARITY, ONESTOPBIT), B({}), "baud 0 is not a rate"},
    };
    for (const FrameCase &c : cases) {
        EXPECT_EQ(Hex(Apply(c.dcb, 0)), Hex(c.wire)) << c.comment;
        ExpectDeviceAgrees(c.comment);
    }

    DCB got = Dcb(1, 1, 1, 1);
    EXPECT_EQ(KvGetCommState(port, &got), 1);
    EXPECT_EQ(got.BaudRate, 2400u);
    EXPECT_EQ(got.ByteSize, 7);
    EXPECT_EQ(got.Parity, NOPARITY);
    EXPECT_EQ(got.StopBits, ONESTOPBIT);
}

TEST_F(LineSettings, FreshPortRefusesInvalidValuesToo)
{
    // The "not set yet" markers are not valid settings and must not pass as unchanged ones.
    Bytes none = Apply(Dcb(0, 0, 0xFF, 0xFF), 0);
    EXPECT_TRUE(none.empty());
}

TEST_F(LineSettings, GetReportsCacheAndTouchesNothingElse)
{
    DCB before = Dcb(0, 0, 0, 0);
    DCB fresh = before;
    EXPECT_EQ(KvGetCommState(port, &fresh), 1);
    EXPECT_EQ(fresh.BaudRate, 0u);
    EXPECT_EQ(fresh.ByteSize, 0);
    EXPECT_EQ(fresh.Parity, 0xFF);
    EXPECT_EQ(fresh.StopBits, 0xFF);

    DCB set = Dcb(57600, 6, MARKPARITY, TWOSTOPBITS);
    Apply(set, 1);
    DCB got = Dcb(1, 1, 1, 1);
    DCB expected = got;
    expected.BaudRate = 57600;
    expected.ByteSize = 6;
    expected.Parity = MARKPARITY;
    expected.StopBits = TWOSTOPBITS;
    EXPECT_EQ(KvGetCommState(port, &got), 1);
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
}

TEST_F(LineSettings, DataDuringTheSettleIsKept)
{
    // The server answers the command and the device sends data at once: the reply vanishes,
    // the data waits for the next read.
    server.SendAfter(3, Join({B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0}), Text("HELLO"),
                              B({0xFF, 0xFF, 0x21})}));
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    EXPECT_EQ(KvSetCommState(port, &dcb), 1);
    SetTimeouts(0, 0, 200);
    EXPECT_EQ(Hex(ReadBytes(8)), Hex(Join({Text("HELLO"), B({0xFF, 0x21})})));
}

TEST_F(LineSettings, NullArgumentsAndNoOps)
{
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    EXPECT_EQ(KvSetCommState(nullptr, &dcb), 0);
    EXPECT_EQ(KvSetCommState(INVALID_HANDLE_VALUE, &dcb), 0);
    EXPECT_EQ(KvSetCommState(port, nullptr), 0);
    EXPECT_EQ(KvGetCommState(nullptr, &dcb), 0);
    EXPECT_EQ(KvGetCommState(port, nullptr), 0);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(KvSetCommConfig(nullptr, nullptr, 0), 1);
    EXPECT_EQ(KvSetCommConfig(port, reinterpret_cast<KV_COMMCONFIG_PTR>(&dcb), 12345), 1); // never read
    EXPECT_EQ(KvSetupComm(nullptr, 0, 0), 1);
    EXPECT_EQ(KvSetupComm(port, 4096, 4096), 1);
    EXPECT_FALSE(server.WaitReceived(1, 50));
}

TEST_F(LineSettings, FailedSendLeavesTheCacheAlone)
{
    server.Reset();
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    // The first frame may still be taken by the local stack; keep trying until a send fails.
    BOOL result = 1;
    for (int i = 0; i < 50 && result == 1; ++i) {
        dcb.BaudRate = (i % 2) ? 9600 : 19200;
        result = KvSetCommState(port, &dcb);
    }
    EXPECT_EQ(result, 0);
    DCB got = Dcb(0, 0, 0, 0);
    KvGetCommState(port, &got);
    EXPECT_NE(got.BaudRate, dcb.BaudRate) << "a setting that was not sent is not cached";
}

} // namespace
