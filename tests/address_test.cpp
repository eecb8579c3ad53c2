// Reading address texts. The refused ones include texts that a wrapping or negating reading would
// bring back into range: an open must never reach a host or port the text does not name.
#include <gtest/gtest.h>

#include <cstdio>

#include "port/address.h"

namespace {

struct AddressCase {
    const char *text;
    bool accepted;
    const char *dotted; // "a.b.c.d:port" as parsed, when accepted
    const char *comment;
};

const AddressCase kCases[] = {
    {"10.0.0.5:23", true, "10.0.0.5:23", "plain"},
    {"10.0.0.5:23/extra", true, "10.0.0.5:23", "trailing text ignored"},
    {"10.0.0.5: 23", true, "10.0.0.5:23", "blank before a number"},
    {"\t\n\v\f\r 10.\t0.0.5:23", true, "10.0.0.5:23", "every kind of white space"},
    {"10.0.0.5:+23", true, "10.0.0.5:23", "plus sign"},
    {"+10.+0.+0.+5:+23", true, "10.0.0.5:23", "plus everywhere"},
    {"-0.0.0.0:0", true, "0.0.0.0:0", "minus zero is zero"},
    {"010.0.0.5:023", true, "10.0.0.5:23", "leading zeros are decimal"},
    {"255.255.255.255:65535", true, "255.255.255.255:65535", "largest values"},
    {"10.0.0.5:23 x", true, "10.0.0.5:23", "blank then text after the port"},
    {"10.0.0.5:23.7", true, "10.0.0.5:23", "a dot after the port is trailing text"},
    {"10.0.0.5", false, "", "no port"},
    {"1.2.3.4", false, "", "no port"},
    {"1.2.3.4:", false, "", "empty port"},
    {"10 .0.0.5:23", false, "", "blank before a separator"},
    {"10.0.0.5 :23", false, "", "blank before the colon"},
    {"10.0.0:5:23", false, "", "colon in place of a dot"},
    {"server:23", false, "", "host name"},
    {"0x10.0.0.5:23", false, "", "no base prefix: 0 then 'x'"},
    {"300.1.1.1:23", false, "", "address number above 255"},
    {"256.0.0.1:23", false, "", "256"},
    {"10.0.0.5:65536", false, "", "port above 65535"},
    {"10.0.0.5:4294967296", false, "", "port just past 32 bits (would wrap to 0)"},
    {"10.0.0.5:4294967319", false, "", "port past 32 bits (would wrap to 23)"},
    {"1.2.3.4:18446744073709551617", false, "", "port past 64 bits (would wrap to 1)"},
    {"10.0.0.4294967301:23", false, "", "address past 32 bits (would wrap to 5)"},
    {"10.0.0.99999999999999999999:23", false, "", "far past 32 bits"},
    {"-1.0.0.5:23", false, "", "minus one wraps to 4294967295"},
    {"10.0.0.5:-23", false, "", "negative port"},
    {"1.2.3.4:-4294967295", false, "", "negated port would wrap to 1"},
    {"1.2.3.-4294967295:23", false, "", "negated address number would wrap to 1"},
    {"-4294967041.0.0.1:23", false, "", "negated address number would wrap to 255"},
    {"+-10.0.0.5:23", false, "", "two signs"},
    {"+.0.0.5:23", false, "", "sign without digits"},
    {"", false, "", "empty"},
    {":23", false, "", "no address"},
};

TEST(Address, Table)
{
    for (const AddressCase &c : kCases) {
        uint8_t address[4] = {9, 9, 9, 9};
        uint32_t port = 7;
        EXPECT_EQ(ParseAddress(c.text, address, &port), c.accepted) << '"' << c.text << "\": " << c.comment;
        char dotted[32];
        std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                      static_cast<unsigned>(port));
        // A refused text leaves address and port as they were.
        EXPECT_STREQ(dotted, c.accepted ? c.dotted : "9.9.9.9:7") << '"' << c.text << "\": " << c.comment;
    }
}

} // namespace
