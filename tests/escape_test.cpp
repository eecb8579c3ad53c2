// Escaping outgoing data into txBuffer chunks, without sockets.
#include <gtest/gtest.h>

#include <cstring>

#include "port/port_context.h"
#include "port/write.h"
#include "script_server.h"

namespace {

// Splits input into chunks the way KvWriteFile does, returning each chunk's bytes.
std::vector<Bytes> Chunks(const Bytes &input)
{
    PortContext pc;
    std::memset(&pc, 0, sizeof pc);
    std::vector<Bytes> chunks;
    size_t used = 0;
    bool carry = false;
    while (used < input.size() || carry) {
        pc.txCount = 0;
        if (carry) {
            pc.txBuffer[pc.txCount++] = 0xFF;
            carry = false;
        }
        used += EscapeChunk(&pc, input.data() + used, static_cast<uint32_t>(input.size() - used), &carry);
        chunks.emplace_back(pc.txBuffer, pc.txBuffer + pc.txCount);
    }
    return chunks;
}

Bytes Repeat(size_t n, uint8_t value)
{
    return Bytes(n, value);
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ChunkCase {
    Bytes input;
    std::vector<size_t> sizes; // expected chunk sizes
    const char *comment;
};

TEST(Escape, ChunkSizes)
{
    const ChunkCase cases[] = {
        {B({0x41, 0xFF, 0x42}), {4}, "one doubled 0xFF"},
        {Repeat(4096, 0x41), {4096}, "exactly one chunk"},
        {Repeat(4097, 0x41), {4096, 1}, "one byte over"},
        {Repeat(2048, 0xFF), {4096}, "2048 x FF fill one chunk"},
        {Repeat(2049, 0xFF), {4096, 2}, "2049 x FF"},
        {Concat(Repeat(4095, 0x41), B({0xFF})), {4096, 1}, "doubled FF split across the 4096th place"},
        {Concat(Repeat(4095, 0x41), B({0xFF, 0x42})), {4096, 2}, "split pair, then more data"},
        {Concat(Repeat(4094, 0x41), B({0xFF})), {4096}, "pair ends exactly at the 4096th place"},
        {B({}), {}, "nothing"},
    };
    for (const ChunkCase &c : cases) {
        std::vector<Bytes> chunks = Chunks(c.input);
        std::vector<size_t> sizes;
        for (const Bytes &chunk : chunks)
            sizes.push_back(chunk.size());
        EXPECT_EQ(sizes, c.sizes) << c.comment;
    }
}

TEST(Escape, SplitPairCarriesItsSecondByte)
{
    std::vector<Bytes> chunks = Chunks(Concat(Repeat(4095, 0x41), B({0xFF})));
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].back(), 0xFF);
    EXPECT_EQ(Hex(chunks[1]), "FF");
}

TEST(Escape, EveryByteValueDoublesOnlyFF)
{
    Bytes all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<uint8_t>(v));
    std::vector<Bytes> chunks = Chunks(all);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], Concat(all, B({0xFF})));
}

} // namespace
