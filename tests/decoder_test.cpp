// The Telnet decoder, fed straight into a receive buffer without sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/scan.h"
#include "script_server.h"
#include "telnet/receiver.h"

namespace {

// The decoder's state and the bytes it decodes from, as a port holds them right after open.
Inbound Fresh()
{
    Inbound rx;
    std::memset(&rx, 0, sizeof rx);
    return rx;
}

// Places bytes in rxBuffer as one receive would (only ever into an empty buffer).
void Receive(Inbound *rx, const Bytes &bytes)
{
    ASSERT_EQ(rx->rxPending, 0u);
    if (!bytes.empty())
        std::memcpy(rx->rxBuffer, bytes.data(), bytes.size());
    rx->rxPending = static_cast<uint32_t>(bytes.size());
}

int32_t Decode(Inbound *rx, uint8_t *out, uint32_t room)
{
    return static_cast<int32_t>(TelnetDecode(&rx->decoder, rx->rxBuffer, &rx->rxPending, out, room));
}

// Decodes everything pending with plenty of room.
Bytes DecodeAll(Inbound *rx)
{
    uint8_t out[kBufferSize];
    int32_t n = Decode(rx, out, sizeof out);
    EXPECT_EQ(rx->rxPending, 0u);
    return Bytes(out, out + n);
}

// Decodes input received in pieces ending at the given cut positions.
Bytes DecodeInPieces(const Bytes &input, const std::vector<size_t> &cuts)
{
    Inbound rx = Fresh();
    Bytes out;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : input.size();
        Receive(&rx, Bytes(input.begin() + static_cast<long>(from), input.begin() + static_cast<long>(to)));
        Bytes part = DecodeAll(&rx);
        out.insert(out.end(), part.begin(), part.end());
        from = to;
    }
    return out;
}

struct DecodeCase {
    Bytes input;
    Bytes expected;
    const char *comment;
};

const DecodeCase kDecodeCases[] = {
    {B({0x41, 0xFF, 0xFF, 0x42}), B({0x41, 0xFF, 0x42}), "doubled IAC is one data 0xFF"},
    {B({0xFF, 0xFB, 0x00, 0x41}), B({0x41}), "IAC WILL TRANSMIT-BINARY dropped with its option"},
    {B({0xFF, 0xFD, 0x2C, 0xFF, 0xFE, 0x01, 0xFF, 0xFC, 0x03, 0x41}), B({0x41}), "DO, DONT, WONT"},
    {B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0, 0x41}), B({0x41}), "baud-rate reply"},
    {B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x01, 0x2C, 0xFF, 0xF0, 0x41}), B({0x41}), "reply confirming 300 baud"},
    {B({0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xF0, 0x41}), B({0x41}), "escaped 0xFF inside SB"},
    {B({0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0x41, 0xF0, 0x43}), B({0x43}),
     "IAC + other byte inside SB: byte dropped, IAC still pending, so a bare SE ends it"},
    {B({0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0x41, 0xFF, 0xF0, 0x43}), B({}),
     "... and IAC SE after it reads as an escaped 0xFF then a plain F0: still inside"},
    {B({0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6A, 0x10, 0xFF, 0xF0, 0x44}), B({0x44}),
     "two notifications back to back"},
    {B({0xFF, 0xF1, 0x41, 0x42}), B({0x41, 0x42}), "IAC NOP takes no option byte"},
    {B({0xFF, 0xF9, 0x41, 0xFF, 0xF2, 0x42, 0xFF, 0xF4, 0x43}), B({0x41, 0x42, 0x43}), "GA, DM, IP stand alone"},
    {B({0xFF, 0xF3, 0xFF, 0xF5, 0xFF, 0xF6, 0xFF, 0xF7, 0xFF, 0xF8, 0x41}), B({0x41}), "BRK AO AYT EC EL"},
    {B({0xFF, 0x80, 0x41}), B({0x41}), "undefined command byte stands alone"},
    {B({0x41, 0xFF, 0x00, 0x42, 0xFF, 0x7F, 0x43}), B({0x41, 0x42, 0x43}), "so do bytes below SE after IAC"},
    {B({0xFF, 0xF0, 0x41}), B({0x41}), "stray SE outside a subnegotiation"},
    {B({0xFF, 0xFB, 0xFF, 0x41}), B({0x41}), "option byte 0xFF is still the option"},
    {B({0x0D, 0x00, 0x0A}), B({0x0D, 0x00, 0x0A}), "CR NUL LF untouched"},
    {B({0x0D, 0x0A, 0x0D}), B({0x0D, 0x0A, 0x0D}), "CR LF and lone CR untouched"},
    {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), B({0xFF, 0xFF, 0xFF}), "run of doubled IACs"},
    {B({0x41, 0x42, 0x43}), B({0x41, 0x42, 0x43}), "plain data"},
    {B({}), B({}), "nothing"},
};

TEST(Decoder, TableWhole)
{
    for (const DecodeCase &c : kDecodeCases)
        EXPECT_EQ(Hex(DecodeInPieces(c.input, {})), Hex(c.expected)) << c.comment;
}

TEST(Decoder, TableSplitAtEveryPoint)
{
    for (const DecodeCase &c : kDecodeCases) {
        for (size_t cut = 1; cut < c.input.size(); ++cut)
            EXPECT_EQ(Hex(DecodeInPieces(c.input, {cut})), Hex(c.expected)) << c.comment << ", cut at " << cut;
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut < c.input.size(); ++cut)
            everyByte.push_back(cut);
        EXPECT_EQ(Hex(DecodeInPieces(c.input, everyByte)), Hex(c.expected)) << c.comment << ", byte by byte";
    }
}

TEST(Decoder, RoomLimitLeavesTheRestAtTheFront)
{
    Inbound rx = Fresh();
    Receive(&rx, B({0x41, 0x42, 0x43}));
    uint8_t out[2];
    EXPECT_EQ(Decode(&rx, out, 2), 2);
    EXPECT_EQ(Hex(Bytes(out, out + 2)), "41 42");
    EXPECT_EQ(rx.rxPending, 1u);
    EXPECT_EQ(rx.rxBuffer[0], 0x43);
}

TEST(Decoder, FullRoomStillConsumesTrailingControl)
{
    // What stays behind starts with data, so the next read never finds only control there.
    struct Case {
        Bytes input;
        uint32_t pendingAfter;
        const char *comment;
    };
    const Case cases[] = {
        {B({0x41, 0x42, 0xFF, 0xFB, 0x01, 0x43}), 1, "negotiation after the data that fits"},
        {B({0x41, 0x42, 0xFF, 0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0}), 0, "only a notification behind"},
        {B({0x41, 0x42, 0xFF, 0xFF}), 1, "a doubled IAC is data: its second byte waits"},
    };
    for (const Case &c : cases) {
        Inbound rx = Fresh();
        Receive(&rx, c.input);
        uint8_t out[2];
        EXPECT_EQ(Decode(&rx, out, 2), 2) << c.comment;
        EXPECT_EQ(rx.rxPending, c.pendingAfter) << c.comment;
    }
}

TEST(Decoder, RoomZeroConsumesNothing)
{
    Inbound rx = Fresh();
    Receive(&rx, B({0xFF, 0xFB, 0x01, 0x41}));
    uint8_t out[1];
    EXPECT_EQ(Decode(&rx, out, 0), 0);
    EXPECT_EQ(rx.rxPending, 4u);
}

TEST(Decoder, OneByteRoomWalksEscapedData)
{
    // Reading one byte at a time must give the same data as reading all at once.
    const Bytes input = B({0x41, 0xFF, 0xFF, 0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xF0, 0xFF, 0xFF, 0x42});
    Inbound rx = Fresh();
    Receive(&rx, input);
    Bytes out;
    uint8_t one;
    for (int i = 0; i < 20 && rx.rxPending > 0; ++i)
        if (Decode(&rx, &one, 1) == 1)
            out.push_back(one);
    EXPECT_EQ(Hex(out), "41 FF FF 42");
}

TEST(Decoder, DenseEscapesAcrossReceivesAndRoomSizes)
{
    // Data thick with 0xFF, Telnet commands between the bytes, received in pieces of every size
    // and read with rooms of every size: a doubled 0xFF meets each buffer end and room end.
    std::mt19937 rng(5);
    Bytes data, wire;
    for (int i = 0; i < 3000; ++i) {
        const uint8_t b = rng() % 3 == 0 ? 0xFF : static_cast<uint8_t>(rng());
        data.push_back(b);
        wire.push_back(b);
        if (b == 0xFF)
            wire.push_back(0xFF);
        switch (rng() % 16) {
        case 0: wire.insert(wire.end(), {0xFF, 0xF1}); break;       // NOP
        case 1: wire.insert(wire.end(), {0xFF, 0xFB, 0xFF}); break; // WILL with option 0xFF
        case 2: wire.insert(wire.end(), {0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xFF, 0xFF, 0xF0}); break;
        default: break;
        }
    }
    for (uint32_t piece : {1u, 2u, 3u, 7u, 64u, 255u, kBufferSize}) {
        for (uint32_t room : {1u, 2u, 3u, 5u, 100u, kBufferSize}) {
            Inbound rx = Fresh();
            Bytes out(data.size() + kBufferSize);
            size_t sent = 0, got = 0, steps = 0;
            while (got < data.size()) {
                ASSERT_LT(++steps, 4 * wire.size()) << "stuck: piece " << piece << ", room " << room;
                if (rx.rxPending == 0) {
                    ASSERT_LT(sent, wire.size()) << "piece " << piece << ", room " << room;
                    const size_t n = std::min<size_t>(piece, wire.size() - sent);
                    Receive(&rx, Bytes(wire.begin() + static_cast<long>(sent), wire.begin() + static_cast<long>(sent + n)));
                    sent += n;
                }
                const int32_t n = Decode(&rx, out.data() + got, room);
                ASSERT_TRUE(n >= 0 && static_cast<uint32_t>(n) <= room) << "piece " << piece << ", room " << room;
                got += static_cast<size_t>(n);
            }
            out.resize(got);
            EXPECT_TRUE(out == data) << "piece " << piece << ", room " << room;
        }
    }
}

// Command frames as the line settings send them; a value byte 0xFF (no valid setting has one) is
// doubled as subnegotiation data must be, so the frame still ends where it should.
TEST(Decoder, ComPortFramesEscapeTheirValues)
{
    struct {
        uint8_t command;
        uint32_t value, valueBytes;
        Bytes frame;
        const char *comment;
    } cases[] = {
        {1, 9600, 4, B({0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0}), "baud rate: four bytes"},
        {4, 3, 1, B({0xFF, 0xFA, 0x2C, 0x04, 0x03, 0xFF, 0xF0}), "one byte"},
        {1, 0xFF00FFFF, 4, B({0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}),
         "every 0xFF doubled"},
    };
    for (const auto &c : cases) {
        uint8_t frame[kComPortFrameMax];
        const uint32_t length = ComPortFrame(c.command, c.value, c.valueBytes, frame);
        const Bytes got(frame, frame + length);
        EXPECT_EQ(Hex(got), Hex(c.frame)) << c.comment;
        EXPECT_EQ(Hex(DecodeInPieces(Join({got, B({0x41})}), {})), "41") << c.comment;
    }
}

// The portable scan the Windows build decodes and escapes with: every length up to three steps,
// the byte sought at every place (or nowhere), among neighbours whose arithmetic borrows or sets
// the high bits (0x00, 0x01, 0x7F, 0x80, 0xFE), from an unaligned start.
TEST(Decoder, WordScanFindsTheFirstMatch)
{
    for (uint8_t value : {0xFF, 0x00, 0x80}) {
        for (uint8_t fill : {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}) {
            if (fill == value)
                continue;
            for (uint32_t length = 0; length <= 50; ++length) {
                for (uint32_t at = 0; at <= length; ++at) { // at == length: not there
                    uint8_t area[64];
                    std::memset(area, fill, sizeof area);
                    uint8_t *data = area + 3;
                    if (at < length)
                        data[at] = value;
                    if (at + 1 < length)
                        data[at + 1] = value; // a second one must not be found first
                    const uint8_t *found = FindByteByWords(data, value, length);
                    ASSERT_EQ(found, at < length ? data + at : nullptr)
                        << "value " << int(value) << " fill " << int(fill) << " length " << length << " at " << at;
                }
            }
        }
    }
}

// Skipping control keeps the first data byte, even a half-read doubled IAC, for the next read.
struct SkipCase {
    Bytes input;
    uint32_t pendingAfter;
    Bytes thenDecoded;
    const char *comment;
};

const SkipCase kSkipCases[] = {
    {B({0xFF, 0xFB, 0x01, 0xFF, 0xFA, 0x2C, 0x65, 0x01, 0xFF, 0xF0}), 0, B({}), "control only: all consumed"},
    {B({0xFF, 0xFA, 0x2C, 0x65, 0x01, 0xFF, 0xF0, 0x41, 0x42}), 2, B({0x41, 0x42}), "reply then data"},
    {B({0xFF, 0xFD, 0x2C, 0xFF, 0xFF, 0x42}), 2, B({0xFF, 0x42}), "data 0xFF after control"},
    {B({0x41, 0xFF, 0xFB, 0x01}), 4, B({0x41}), "data first: nothing consumed"},
};

TEST(Decoder, SkipControlKeepsData)
{
    for (const SkipCase &c : kSkipCases) {
        Inbound rx = Fresh();
        Receive(&rx, c.input);
        TelnetSkipControl(&rx.decoder, rx.rxBuffer, &rx.rxPending);
        EXPECT_EQ(rx.rxPending, c.pendingAfter) << c.comment;
        uint8_t out[16];
        int32_t n = rx.rxPending ? Decode(&rx, out, sizeof out) : 0;
        EXPECT_EQ(Hex(Bytes(out, out + n)), Hex(c.thenDecoded)) << c.comment;
    }
}

} // namespace
