// The DLL against a real ser2net, started on the Linux side by scripts/ser2net.py. Its device is a
// pseudo-terminal that sends back whatever reaches it, so each payload written must be read back
// exactly: every byte value, Telnet's 0xFF and the CR NUL pair included.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kalvicom.h"

namespace
{

typedef std::vector<unsigned char> Bytes;

// The fixture's port file, named by the environment; empty when there is no ser2net to use.
std::string Ser2netAddress()
{
    const char *file = std::getenv("KALVICOM_SER2NET_PORT_FILE");
    if (file == nullptr)
        return "";
    unsigned port = 0;
    FILE *f = std::fopen(file, "r");
    if (f == nullptr)
        return "";
    int got = std::fscanf(f, "%u", &port);
    std::fclose(f);
    return got == 1 ? "127.0.0.1:" + std::to_string(port) : "";
}

Bytes AllByteValues(size_t length)
{
    Bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(i);
    return out;
}

struct EchoCase {
    const char *what;
    Bytes payload;
};

class Ser2net : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string address = Ser2netAddress();
        if (address.empty())
            GTEST_SKIP() << "no ser2net: KALVICOM_SER2NET_PORT_FILE names no port file";
        port = KvCreateFile(address.c_str());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << address;
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            KvCloseHandle(port);
    }
    HANDLE port = INVALID_HANDLE_VALUE;
};

} // namespace

TEST_F(Ser2net, EchoesEveryPayloadExactlyAt9600EightNoneOne)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_EQ(KvSetCommState(port, &dcb), 1);
    DCB now = {};
    ASSERT_EQ(KvGetCommState(port, &now), 1);
    EXPECT_EQ(now.BaudRate, 9600u);
    EXPECT_EQ(now.ByteSize, 8);
    EXPECT_EQ(now.Parity, NOPARITY);
    EXPECT_EQ(now.StopBits, ONESTOPBIT);

    // Returns when the whole payload is back, or after 10 s.
    COMMTIMEOUTS timeouts = {0, 0, 10000, 0, 0};
    ASSERT_EQ(KvSetCommTimeouts(port, &timeouts), 1);

    const EchoCase cases[] = {
        {"bytes 00 to FF", AllByteValues(256)},
        {"CR NUL, CR LF and lone CRs", {0x0D, 0x00, 0x0D, 0x0A, 0x0D, 0x41, 0x0D}},
        {"a run of 0xFF (each doubled on the wire)", Bytes(64, 0xFF)},
        {"Telnet commands as data", {0xFF, 0xFD, 0x2C, 0xFF, 0xFA, 0x2C, 0x01, 0xFF, 0xF0}},
        {"more than one 4096-byte send", AllByteValues(6000)},
    };
    for (const EchoCase &c : cases) {
        DWORD written = 0;
        ASSERT_EQ(KvWriteFile(port, c.payload.data(), static_cast<DWORD>(c.payload.size()), &written), 1) << c.what;
        EXPECT_EQ(written, c.payload.size()) << c.what;
        Bytes back(c.payload.size());
        DWORD read = 0;
        ASSERT_EQ(KvReadFile(port, back.data(), static_cast<DWORD>(back.size()), &read), 1) << c.what;
        back.resize(read);
        EXPECT_EQ(back, c.payload) << c.what << ": " << read << " of " << c.payload.size() << " bytes came back";
    }
}
