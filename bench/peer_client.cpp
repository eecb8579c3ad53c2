// The library's side of the comparison with pyserial on a ser2net-served echo device
// (peer_compare.py starts the servers and runs both clients):
//   peer_client PORT [opens] [trips] [echoes]
// prints one line of medians: open_ms, rtt32_us (a 32-byte request and its echo) and echo64k_ms
// (64 KiB written and read back). Every echo is checked exactly.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "kalvicom.h"

namespace
{

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "peer_client: %s\n", what.c_str());
    std::exit(1);
}

void ReadAll(HANDLE h, uint8_t *out, size_t length)
{
    size_t got = 0;
    while (got < length) {
        DWORD n = 0;
        if (!KvReadFile(h, out + got, static_cast<DWORD>(length - got), &n) || n == 0)
            Fail("echo incomplete: " + std::to_string(got) + " of " + std::to_string(length) + " bytes");
        got += n;
    }
}

// ser2net turns a connection that arrives while it is still closing the device after the last
// one away, so each close is followed by a pause (the pyserial side pauses the same).
constexpr useconds_t kReopenPauseUs = 300000;

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        Fail("usage: peer_client PORT [opens] [trips] [echoes]");
    const std::string address = std::string("127.0.0.1:") + argv[1];
    const int opens = argc > 2 ? std::atoi(argv[2]) : 10;
    const int trips = argc > 3 ? std::atoi(argv[3]) : 300;
    const int echoes = argc > 4 ? std::atoi(argv[4]) : 5;

    std::vector<double> openMs;
    for (int i = 0; i < opens; ++i) {
        const uint64_t t0 = NowNs();
        HANDLE h = KvCreateFile(address.c_str());
        openMs.push_back((NowNs() - t0) * 1e-6);
        if (h == INVALID_HANDLE_VALUE)
            Fail("KvCreateFile " + address);
        KvCloseHandle(h);
        usleep(kReopenPauseUs);
    }

    HANDLE h = KvCreateFile(address.c_str());
    if (h == INVALID_HANDLE_VALUE)
        Fail("KvCreateFile " + address);
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 5000;
    KvSetCommTimeouts(h, &t);
    const std::vector<uint8_t> data = RandomBytes(1 << 16, 11);
    std::vector<uint8_t> back(1 << 16);

    std::vector<double> rttUs;
    for (int i = 0; i < trips; ++i) {
        const uint8_t *request = data.data() + (i % 2048) * 32;
        DWORD n = 0;
        const uint64_t t0 = NowNs();
        if (!KvWriteFile(h, request, 32, &n))
            Fail("KvWriteFile");
        ReadAll(h, back.data(), 32);
        rttUs.push_back((NowNs() - t0) * 1e-3);
        if (std::memcmp(back.data(), request, 32) != 0)
            Fail("32-byte echo differs");
    }

    std::vector<double> echoMs;
    for (int i = 0; i < echoes; ++i) {
        DWORD n = 0;
        const uint64_t t0 = NowNs();
        if (!KvWriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n))
            Fail("KvWriteFile");
        ReadAll(h, back.data(), data.size());
        echoMs.push_back((NowNs() - t0) * 1e-6);
        if (back != data)
            Fail("64 KiB echo differs");
    }
    KvCloseHandle(h);
    std::printf("open_ms=%.3f rtt32_us=%.1f echo64k_ms=%.2f\n", Median(openMs), Median(rttUs), Median(echoMs));
    return 0;
}
