// Opening and closing ports against the scripted server.
#include <gtest/gtest.h>

#include "test_socket.h" // before the library's header: Windows wants winsock2.h before windows.h

#include <algorithm>
#include <string>

#include "port_fixture.h"

TEST(OpenClose, SendsNegotiationInOneSendAndSettlesAboutTenMs)
{
    ScriptServer server;
    Stopwatch clock;
    HANDLE port = KvCreateFile(server.Address().c_str());
    double took = clock.Ms();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(server.WaitReceived(Negotiation().size()));
    EXPECT_EQ(Hex(server.Received()), Hex(Negotiation()));
    const int segments = server.DataSegmentsIn();
    EXPECT_TRUE(segments == 1 || segments == -1) << segments << " segments: the opening goes out in one send";
    // Silent server: the connect is immediate on loopback, then a 10 ms settle.
    EXPECT_GE(took, 9.0);
    EXPECT_LE(took, 80.0);
    EXPECT_EQ(KvCloseHandle(port), 1);
    EXPECT_TRUE(server.WaitPeerClosed()) << "close must end the connection";
}

// The parsed address reaches the connect (the texts themselves are the parser's table): %PORT%
// stands for the scripted server's port.
struct AddressCase {
    const char *text;
    bool opens;
    const char *why;
};

static const AddressCase kAddressCases[] = {
    {"127.0.0.1:%PORT%", true, "plain"},
    {"127.000.0.01:+%PORT%/extra", true, "the parser's spellings"},
    {"127.0.0.2:%PORT%", false, "another loopback address: nobody listens there"},
    {"383.0.0.1:%PORT%", false, "refused: must not connect where 383 would wrap to 127"},
};

TEST(OpenClose, AddressTexts)
{
    ScriptServer server;
    for (const AddressCase &c : kAddressCases) {
        std::string text = c.text;
        size_t at = text.find("%PORT%");
        if (at != std::string::npos)
            text.replace(at, 6, std::to_string(server.Port()));
        int acceptedBefore = server.Accepted();
        HANDLE port = KvCreateFile(text.c_str());
        EXPECT_EQ(port != INVALID_HANDLE_VALUE, c.opens) << text << ": " << c.why;
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(server.WaitAcceptedCount(acceptedBefore + 1)) << text;
            KvCloseHandle(port);
        } else {
            EXPECT_EQ(server.Accepted(), acceptedBefore) << text << ": must not connect";
        }
    }
}

TEST(OpenClose, NullAndInvalidHandles)
{
    EXPECT_EQ(KvCreateFile(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(KvCloseHandle(nullptr), 1);
    EXPECT_EQ(KvCloseHandle(INVALID_HANDLE_VALUE), 1);
}

// Every way this system has of counting descriptors sees sockets come and go, and at least one
// can count here: a leak check that cannot count would pass without checking anything.
TEST(DescriptorCount, EveryCounterFollowsSocketsOpenedAndClosed)
{
    TestSocketStartup();
    int counting = 0;
    for (const DescriptorCounter &counter : DescriptorCounters()) {
        SCOPED_TRACE(counter.name);
        const int before = counter.count();
        if (before < 0)
            continue; // not on this system
        ++counting;
        TestSocket sockets[3];
        for (TestSocket &s : sockets)
            s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(counter.count(), before + 3);
        for (TestSocket s : sockets)
            TestCloseSocket(s);
        EXPECT_EQ(counter.count(), before);
    }
    EXPECT_GT(counting, 0);
}

TEST(OpenClose, ThousandOpenCloseCyclesLeaveNothingOpen)
{
    ScriptServer server;
    // One settled port first, so the server's own descriptors are already counted.
    HANDLE first = KvCreateFile(server.Address().c_str());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    server.WaitAccepted();
    KvCloseHandle(first);
    int before = OpenDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        HANDLE port = KvCreateFile(server.Address().c_str());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "cycle " << i;
        KvCloseHandle(port);
    }
    // The server closes its side of each connection when the next one arrives; allow it one.
    EXPECT_LE(OpenDescriptorCount(), before + 1);
}

TEST(Settle, OpenFlushesAtMost256DecodedBytes)
{
    ScriptServer server;
    Bytes data;
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<uint8_t>(i < 255 ? i : 0x41)); // no 0xFF: it would need doubling
    Bytes first = B({0xFF, 0xFB, 0x01, 0xFF, 0xFD, 0x00}); // the server's own negotiation
    first.insert(first.end(), data.begin(), data.end());
    server.SendOnAccept(first);
    HANDLE port = KvCreateFile(server.Address().c_str());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {0, 0, 100, 0, 0};
    KvSetCommTimeouts(port, &t);
    uint8_t buffer[400];
    DWORD got = 0;
    ASSERT_EQ(KvReadFile(port, buffer, sizeof buffer, &got), 1);
    // Whatever survived the flush is the tail of the data, and the flush took at most 256 bytes.
    EXPECT_GE(got, 300u - 256u);
    EXPECT_TRUE(std::equal(buffer, buffer + got, data.end() - got));
    KvCloseHandle(port);
}
