// The inner scan of the decoder and the escaper: where the next 0xFF is in a run of data.
#ifndef KALVICOM_PLATFORM_SCAN_H
#define KALVICOM_PLATFORM_SCAN_H

#include <cstdint>
#include <cstring>

// The first byte equal to value among length bytes at data, or nullptr. Each platform file picks
// the faster of the C runtime's memchr and FindByteByWords below for its system.
const uint8_t *FindByte(const uint8_t *data, uint8_t value, uint32_t length);

// A portable scan, sixteen bytes a step: a byte of a word equals value exactly when the same byte
// of (word ^ pattern) is zero, and (x - 0x01..01) & ~x & 0x80..80 is non-zero exactly when x has a
// zero byte. Which byte it is is found byte by byte, so the order of bytes in a word (the
// machine's endianness) does not matter.
inline const uint8_t *FindByteByWords(const uint8_t *data, uint8_t value, uint32_t length)
{
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    const uint64_t pattern = kOnes * value;
    uint32_t i = 0;
    for (; i + 16 <= length; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, data + i + 8, 8);
        a ^= pattern;
        b ^= pattern;
        if ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs)
            break;
    }
    for (; i < length; ++i) {
        if (data[i] == value)
            return data + i;
    }
    return nullptr;
}

#endif
