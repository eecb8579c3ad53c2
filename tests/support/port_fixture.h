// Shared pieces of the tests that talk to a scripted server through the public calls.
#ifndef KALVICOM_TESTS_PORT_FIXTURE_H
#define KALVICOM_TESTS_PORT_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "kalvicom.h"
#include "script_server.h"

// What a query example sends: the negotiation, 9600 8N1, then the request "ID?" and a carriage
// return.
inline Bytes QueryWire()
{
    return Join({Negotiation(), LineFrames(9600, 8, 1, 1), Text("ID?\r")});
}

// Line settings to apply; every other member holds a value the library must neither read nor
// change.
inline DCB Dcb(DWORD baud, BYTE byteSize, BYTE parity, BYTE stopBits)
{
    DCB dcb;
    std::memset(&dcb, 0x5A, sizeof dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    return dcb;
}

// Milliseconds since construction, for timing checks.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double Ms() const
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

inline void SetPortTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    ASSERT_EQ(KvSetCommTimeouts(port, &t), 1);
}

// One read: its result, the bytes it delivered and how long it took.
struct ReadOutcome {
    BOOL result;
    Bytes data;
    double ms;
};

inline ReadOutcome ReadNow(HANDLE port, DWORD count)
{
    Bytes buffer(count);
    DWORD got = 12345;
    Stopwatch clock;
    BOOL result = KvReadFile(port, buffer.data(), count, &got);
    double ms = clock.Ms();
    if (got > count) {
        ADD_FAILURE() << "read count " << got << " past the buffer";
        got = 0;
    }
    buffer.resize(got);
    return {result, buffer, ms};
}

// Opens a port on server and takes the negotiation it sends, checking it.
inline void OpenAndTakeNegotiation(ScriptServer &server, HANDLE *port)
{
    *port = KvCreateFile(server.Address().c_str());
    ASSERT_NE(*port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(server.WaitReceived(Negotiation().size()));
    ASSERT_EQ(Hex(server.TakeReceived()), Hex(Negotiation()));
}

// A port open on a fresh scripted server, with the negotiation already received and forgotten.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override { OpenAndTakeNegotiation(server, &port); }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            KvCloseHandle(port);
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant)
    {
        SetPortTimeouts(port, interval, multiplier, constant);
    }
    // Reads up to count bytes; returns them, or fails the test if the read failed.
    Bytes ReadBytes(DWORD count)
    {
        ReadOutcome r = ReadNow(port, count);
        EXPECT_EQ(r.result, 1);
        return r.data;
    }

    ScriptServer server;
    HANDLE port = INVALID_HANDLE_VALUE;
};

#endif
