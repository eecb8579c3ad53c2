// Shared pieces of the fault tests: a faulty scripted server next to a healthy bystander port,
// and a check that no descriptor outlives a test.
#ifndef KALVICOM_TESTS_FAULT_SUPPORT_H
#define KALVICOM_TESTS_FAULT_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "port_fixture.h"

// Counts the process's descriptors when made and again when destroyed: as the first member of a
// fixture it sees everything else the fixture owns come and go.
struct DescriptorCheck {
    int before = OpenDescriptorCount();
    ~DescriptorCheck() { EXPECT_EQ(OpenDescriptorCount(), before) << "descriptors left open"; }
};

inline void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A scripted server that misbehaves, and beside it a bystander port on a server of its own that
// must keep working whatever happens to the first.
class FaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OpenAndTakeNegotiation(otherServer, &other);
        SetPortTimeouts(other, 0, 0, 5000);
    }
    void TearDown() override
    {
        ClosePort();
        CheckBystander();
        KvCloseHandle(other);
    }

    // Opens a port on the faulty server; fails the test when the open fails.
    void OpenPort()
    {
        ClosePort();
        port = KvCreateFile(server.Address().c_str());
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void ClosePort()
    {
        if (port != INVALID_HANDLE_VALUE) {
            // Whatever the server did, nothing written is left that it could still acknowledge.
            Stopwatch clock;
            EXPECT_EQ(KvCloseHandle(port), 1);
            EXPECT_LE(clock.Ms(), 3000.0) << "the close after a server fault has nothing to wait for";
        }
        port = INVALID_HANDLE_VALUE;
    }

    // The bystander still moves data both ways, exactly.
    void CheckBystander()
    {
        DWORD written = 0;
        const uint8_t out[] = {0x41, 0xFF, 0x42};
        ASSERT_EQ(KvWriteFile(other, out, 3, &written), 1);
        EXPECT_EQ(written, 3u);
        ASSERT_TRUE(otherServer.WaitReceived(4));
        EXPECT_EQ(Hex(otherServer.TakeReceived()), "41 FF FF 42");
        otherServer.Send(B({0x43, 0xFF, 0xFF, 0x44}));
        ReadOutcome r = ReadNow(other, 3);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(Hex(r.data), "43 FF 44") << "the bystander port was disturbed";
    }

    // The connection is gone: a read fails with count 0, and a write fails with count 0 at the
    // latest once the reset that the server's side answers with has come back (the first write
    // after an orderly close may still be taken by the system); every later write fails too.
    void ExpectPortDead(bool writesFail = true)
    {
        SetPortTimeouts(port, 0, 0, 2000);
        ReadOutcome r = ReadNow(port, 8);
        EXPECT_EQ(r.result, 0) << "read on a lost connection";
        EXPECT_EQ(r.data.size(), 0u);
        EXPECT_LT(r.ms, 1000.0) << "a lost connection must not wait out the time-out";
        if (!writesFail)
            return;
        const uint8_t data[] = {0x41, 0xFF};
        DWORD written = 99;
        BOOL result = 1;
        for (int attempt = 0; attempt < 3 && result == 1; ++attempt) {
            written = 99;
            result = KvWriteFile(port, data, 2, &written);
            Pause(20);
        }
        EXPECT_EQ(result, 0) << "writes on a lost connection";
        EXPECT_EQ(written, 0u);
        written = 99;
        EXPECT_EQ(KvWriteFile(port, data, 2, &written), 0) << "a lost connection stays lost";
        EXPECT_EQ(written, 0u);
    }

    DescriptorCheck descriptors; // first: checked after everything below is gone
    ScriptServer server;
    ScriptServer otherServer;
    HANDLE other = INVALID_HANDLE_VALUE;
    HANDLE port = INVALID_HANDLE_VALUE;
};

inline const char *ActionName(ServerAction a)
{
    switch (a) {
    case ServerAction::kNothing:
        return "stall";
    case ServerAction::kClose:
        return "close";
    case ServerAction::kDrop:
        return "drop";
    case ServerAction::kReset:
        return "reset";
    }
    return "?";
}

#endif
