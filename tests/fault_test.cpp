// A device server that closes, resets or stalls at every phase of a port's life: the calls give
// their documented results in bounded time, leave nothing open, and other ports carry on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fault_support.h"

namespace
{

const size_t kNegotiationSize = Negotiation().size();
const DWORD kMax = MAXDWORD;

// Data with every byte value, 0xFF included, in a pattern that shows a lost or repeated block.
Bytes Pattern(size_t size)
{
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>((i * 7) ^ (i >> 12));
    return out;
}

} // namespace

// --- during the open's settle ------------------------------------------------------------------

struct OpenCase {
    ServerAction action; // done right after the reply, while the open settles
    Bytes reply;         // sent once the negotiation has arrived
    bool opens;          // KvCreateFile returns a handle
    int closeLaterMs;    // if not 0: the server closes this long after the open, and the port is dead
    Bytes later;         // sent after the open, when the connection lives
    Bytes expect;        // what a read then delivers
    const char *why;
};

// A server that turns the session away (busy, at its client limit) ends the connection during the
// open: the open fails and leaves nothing behind. Ending it after the open returned does not.
TEST_F(FaultTest, ServerFailsDuringTheOpenSettle)
{
    // clang-format off
    const OpenCase cases[] = {
        {ServerAction::kClose, Text("Port already in use\r\n"), false, 0, {}, {}, "busy: a line of text, then a close"},
        {ServerAction::kDrop, B({0xFF, 0xFB, 0x00, 0x41, 0x42}), false, 0, {}, {}, "answers, sends data, closes"},
        {ServerAction::kReset, B({0xFF, 0xFB, 0x00, 0xFF, 0xFA, 0x2C}), false, 0, {}, {}, "resets inside a subnegotiation"},
        {ServerAction::kReset, {}, false, 0, {}, {}, "at its client limit: a reset"},
        {ServerAction::kNothing, {}, true, 300, {}, {}, "closes 300 ms after the open"},
        {ServerAction::kNothing, B({0xFF, 0xFA, 0x2C, 0x65, 0x00}), true, 0, B({0x00, 0x25, 0x80, 0xFF, 0xF0, 0x41, 0x42}),
         B({0x41, 0x42}), "stalls inside a subnegotiation; the rest completes it"},
        {ServerAction::kNothing, B({0xFF}), true, 0, B({0xFD, 0x03, 0x41}), B({0x41}), "stalls after a lone IAC"},
    };
    // clang-format on
    for (const OpenCase &c : cases) {
        SCOPED_TRACE(std::string(ActionName(c.action)) + ": " + c.why);
        server.When(kNegotiationSize, c.reply, c.action);
        Stopwatch clock;
        port = KvCreateFile(server.Address().c_str());
        EXPECT_LE(clock.Ms(), 200.0) << "the open must not wait on a failing server";
        if (!c.opens) {
            EXPECT_EQ(port, INVALID_HANDLE_VALUE) << "a session the server ended must not open";
            ClosePort();
            continue;
        }
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(server.WaitTriggered()); // the rest must follow the reply on the wire
        if (c.closeLaterMs != 0) {
            Pause(c.closeLaterMs);
            server.Close();
            ExpectPortDead(false);
        } else {
            server.Send(c.later);
            SetPortTimeouts(port, 0, 0, 2000);
            ReadOutcome r = ReadNow(port, static_cast<DWORD>(c.expect.size()));
            EXPECT_EQ(r.result, 1);
            EXPECT_EQ(Hex(r.data), Hex(c.expect)) << "the decoding state must carry over from the settle";
        }
        ClosePort();
    }
}

// --- in the middle of a read, in each read mode -----------------------------------------------

struct ReadCase {
    const char *mode;
    DWORD interval, multiplier, constant;
    DWORD count;
    Bytes first;         // sent 30 ms into the read
    ServerAction action; // 80 ms into the read (kNothing: the server just goes quiet)
    Bytes rest;          // sent restAt ms into the read, if any
    int restAt;
    BOOL result;
    Bytes expect;     // what the read delivers
    Bytes expectNext; // what a second read delivers, after rest; none when empty
    double minMs, maxMs;
};

TEST_F(FaultTest, ServerFailsInTheMiddleOfARead)
{
    const Bytes abc = B({0x41, 0x42, 0x43});
    const Bytes control = B({0xFF, 0xFB, 0x01, 0xFF, 0xFA, 0x2C, 0x07}); // no data; ends inside SB
    // clang-format off
    const ReadCase cases[] = {
        // Unbounded: only count bytes or a failure end the read; what came before the failure is lost.
        {"unbounded", 0, 0, 0, 10, abc, ServerAction::kDrop, {}, 0, 0, {}, {}, 70, 1000},
        {"unbounded", 0, 0, 0, 10, abc, ServerAction::kReset, {}, 0, 0, {}, {}, 70, 1000},
        {"unbounded", 0, 0, 0, 5, abc, ServerAction::kNothing, B({0x44, 0x45}), 150, 1, B({0x41, 0x42, 0x43, 0x44, 0x45}),
         {}, 140, 1000},
        // First byte: control traffic does not end the wait; a failure does.
        {"first byte", kMax, kMax, 1000, 10, control, ServerAction::kDrop, {}, 0, 0, {}, {}, 70, 900},
        {"first byte", kMax, kMax, 1000, 10, control, ServerAction::kReset, {}, 0, 0, {}, {}, 70, 900},
        {"first byte", kMax, kMax, 300, 10, control, ServerAction::kNothing, B({0xFF, 0xF0, 0x41}), 700, 1, {}, B({0x41}),
         290, 650},
        // Total (0, 2, 400) for 50 bytes: 500 ms at most.
        {"total", 0, 2, 400, 50, abc, ServerAction::kDrop, {}, 0, 0, {}, {}, 70, 490},
        {"total", 0, 2, 400, 50, abc, ServerAction::kReset, {}, 0, 0, {}, {}, 70, 490},
        {"total", 0, 2, 400, 50, abc, ServerAction::kNothing, {}, 0, 1, abc, {}, 490, 1000},
    };
    // clang-format on
    for (const ReadCase &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + ", server: " + ActionName(c.action));
        OpenPort();
        SetPortTimeouts(port, c.interval, c.multiplier, c.constant);
        server.SendAfter(30, c.first);
        server.ActAfter(80, c.action);
        if (!c.rest.empty())
            server.SendAfter(c.restAt, c.rest);
        ReadOutcome r = ReadNow(port, c.count);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(Hex(r.data), Hex(c.expect));
        EXPECT_GE(r.ms, c.minMs);
        EXPECT_LE(r.ms, c.maxMs);
        if (!c.expectNext.empty()) {
            SetPortTimeouts(port, 0, 0, 3000);
            ReadOutcome next = ReadNow(port, static_cast<DWORD>(c.expectNext.size()));
            EXPECT_EQ(next.result, 1);
            EXPECT_EQ(Hex(next.data), Hex(c.expectNext));
        }
        if (c.result == 0)
            ExpectPortDead();
        ClosePort();
    }
}

// Immediate mode never waits, so a failure shows at the first read that finds the socket
// readable and nothing undecoded.
TEST_F(FaultTest, ImmediateReadsAroundAFailure)
{
    for (ServerAction action : {ServerAction::kDrop, ServerAction::kReset}) {
        SCOPED_TRACE(ActionName(action));
        OpenPort();
        SetPortTimeouts(port, kMax, 0, 0);
        ReadOutcome quiet = ReadNow(port, 10);
        EXPECT_EQ(quiet.result, 1);
        EXPECT_EQ(quiet.data.size(), 0u);
        EXPECT_LT(quiet.ms, 100.0) << "an immediate read does not wait";

        server.Send(B({0x41, 0xFF, 0xFF, 0x42}));
        Bytes got;
        for (Stopwatch wait; got.size() < 3 && wait.Ms() < 2000; Pause(5)) {
            ReadOutcome some = ReadNow(port, 10);
            EXPECT_EQ(some.result, 1);
            got.insert(got.end(), some.data.begin(), some.data.end());
        }
        EXPECT_EQ(Hex(got), "41 FF 42");

        server.Act(action);
        // Until the failure reaches the socket, immediate reads find nothing; then they fail.
        ReadOutcome lost = {1, {}, 0};
        for (Stopwatch wait; lost.result == 1 && wait.Ms() < 2000; Pause(5)) {
            lost = ReadNow(port, 10);
            EXPECT_EQ(lost.data.size(), 0u);
        }
        EXPECT_EQ(lost.result, 0);
        EXPECT_LT(lost.ms, 100.0);
        ExpectPortDead();
        ClosePort();
    }
}

// --- writes to a server that stops reading ----------------------------------------------------

// Runs one write on a thread of its own, so the test can watch it block.
class BackgroundWrite
{
  public:
    BackgroundWrite(HANDLE port, const Bytes &data)
        : thread_([this, port, &data] {
              result_ = KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written_);
              done_ = true;
          })
    {
    }
    ~BackgroundWrite() { thread_.join(); }
    bool Done() const { return done_; }
    // Waits up to ms for the write to return.
    bool WaitDone(int ms)
    {
        for (int waited = 0; !done_ && waited < ms; waited += 10)
            Pause(10);
        return done_;
    }
    BOOL Result() const { return result_; }
    DWORD Written() const { return written_; }

  private:
    std::atomic<bool> done_{false};
    BOOL result_ = 99;
    DWORD written_ = 12345;
    std::thread thread_;
};

TEST_F(FaultTest, WriteBlocksOnAServerThatNeverReadsUntilItGoesAway)
{
    const Bytes data = Pattern(64 << 20); // far more than the socket buffers of both ends hold
    for (ServerAction action : {ServerAction::kReset, ServerAction::kDrop}) {
        SCOPED_TRACE(ActionName(action));
        OpenPort();
        ASSERT_TRUE(server.WaitReceived(kNegotiationSize));
        server.SetReading(false);
        {
            BackgroundWrite write(port, data);
            Pause(300);
            EXPECT_FALSE(write.Done()) << "a write has no time-out: it waits for the server";
            CheckBystander(); // other ports work meanwhile, from another thread
            EXPECT_FALSE(write.Done());
            Stopwatch clock;
            server.Act(action); // a server that goes away with data unread resets the connection
            ASSERT_TRUE(write.WaitDone(5000)) << "the write must return once the connection is gone";
            EXPECT_LT(clock.Ms(), 1000.0);
            EXPECT_EQ(write.Result(), 0);
            EXPECT_EQ(write.Written(), 0u);
        }
        ExpectPortDead();
        ClosePort();
        server.SetReading(true);
    }
}

TEST_F(FaultTest, WriteStalledByTheServerCompletesWholeWhenItReadsAgain)
{
    const Bytes data = Pattern(32 << 20);
    OpenPort();
    ASSERT_TRUE(server.WaitReceived(kNegotiationSize));
    server.TakeReceived();
    server.SetReading(false);
    BackgroundWrite write(port, data);
    Pause(300);
    EXPECT_FALSE(write.Done());
    CheckBystander();
    server.SetReading(true);
    ASSERT_TRUE(write.WaitDone(20000));
    EXPECT_EQ(write.Result(), 1);
    EXPECT_EQ(write.Written(), data.size());
    const Bytes wire = Escaped(data);
    ASSERT_TRUE(server.WaitReceived(wire.size(), 20000));
    EXPECT_TRUE(server.Received() == wire) << "the server must receive every byte once, in order";
}

// --- during a line setting's settle -----------------------------------------------------------

struct SettingCase {
    ServerAction action; // right after the reply to the baud-rate command
    Bytes reply;
    BOOL result;
    DWORD baud;    // reported by KvGetCommState afterwards
    BYTE stopBits; // likewise: 0xFF is "not sent"
    bool dead;
    Bytes later; // sent afterwards on a live connection
    Bytes expect;
    const char *why;
};

TEST_F(FaultTest, ServerFailsDuringALineSettingSettle)
{
    const Bytes ack = B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0});
    // clang-format off
    const SettingCase cases[] = {
        {ServerAction::kDrop, ack, 0, 9600, 0xFF, true, {}, {}, "acknowledges, then closes: a later command fails"},
        {ServerAction::kReset, B({0xFF, 0xFA, 0x2C, 0x65}), 0, 9600, 0xFF, true, {}, {},
         "resets inside its reply: the next command fails"},
        {ServerAction::kNothing, B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00}), 1, 9600, ONESTOPBIT, false,
         B({0x25, 0x80, 0xFF, 0xF0, 0x41, 0x42}), B({0x41, 0x42}), "stalls inside its reply; the rest completes it"},
    };
    // clang-format on
    const size_t baudFrame = BaudFrame(0, 0, 0, 0).size();
    for (const SettingCase &c : cases) {
        SCOPED_TRACE(std::string(ActionName(c.action)) + ": " + c.why);
        OpenPort();
        server.When(kNegotiationSize + baudFrame, c.reply, c.action);
        const DCB wanted = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
        Stopwatch clock;
        EXPECT_EQ(KvSetCommState(port, &wanted), c.result);
        EXPECT_LE(clock.Ms(), 400.0) << "four settles at most";
        DCB got = Dcb(1, 1, 1, 1);
        ASSERT_EQ(KvGetCommState(port, &got), 1);
        EXPECT_EQ(got.BaudRate, c.baud) << "a setting that went out stays cached";
        EXPECT_EQ(got.StopBits, c.stopBits) << "a setting that did not go out is not cached";
        if (c.dead) {
            ExpectPortDead();
        } else {
            const Bytes frames = Join({Negotiation(), LineFrames(9600, 8, 1, 1)});
            ASSERT_TRUE(server.WaitReceived(frames.size()));
            EXPECT_EQ(Hex(server.Received()), Hex(frames));
            ASSERT_TRUE(server.WaitTriggered());
            server.Send(c.later);
            SetPortTimeouts(port, 0, 0, 2000);
            ReadOutcome r = ReadNow(port, static_cast<DWORD>(c.expect.size()));
            EXPECT_EQ(Hex(r.data), Hex(c.expect));
        }
        ClosePort();
    }
}

// --- opens that fail ---------------------------------------------------------------------------

TEST(FailingOpens, ThousandLeaveTheDescriptorCountUnchanged)
{
    const std::string refused = RefusedAddress();
    const char *const malformed[] = {"127.0.0.1", "127.0.0.1:99999", "127.0.0.1:-5", "host:23", ""};
    const int before = OpenDescriptorCount();
    std::vector<std::thread> workers;
    std::atomic<int> opened{0};
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                opened += KvCreateFile(refused.c_str()) != INVALID_HANDLE_VALUE;
                opened += KvCreateFile(malformed[i % 5]) != INVALID_HANDLE_VALUE;
            }
        });
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
}
