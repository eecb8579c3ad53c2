// Input a caller or a device server should not send, and must not be able to use against the
// library: address texts whose numbers only look in range, and Telnet streams that never end,
// flood the port with negotiation or put every command between the data.
#include <gtest/gtest.h>

#include "port/address.h"

// Texts the parser refuses although a wrapping or negating reading would bring every number into
// range: an open must never reach a host or port the text does not name.
struct RefusedText {
    const char *text;
    const char *why;
};

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
