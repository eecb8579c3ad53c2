// Small helpers shared by the socket benchmarks: clocks, medians, test data, raw loopback sockets.
#ifndef KALVICOM_BENCH_BENCH_UTIL_H
#define KALVICOM_BENCH_BENCH_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// bench_data.cpp, on every platform: ---------------------------------------------------------------

// Nanoseconds on the monotonic clock.
uint64_t NowNs();

// The median of the values (the mean of the middle two for an even count); 0 when empty.
double Median(std::vector<double> values);

// Prints one comparison row: both sides' medians, the ratio library / raw (that of the medians
// unless given) and, with a target, whether it was met (a ceiling for times, a floor for rates).
void Row(const std::string &name, double library, double raw, const char *unit, double scale, bool isTime,
         double target, double ratio = 0);

// How many rows missed their target so far.
int TargetsMissed();

// Blocks of calls of two sides, alternating: the seconds per call of each block go to lib and
// raw, each pair of blocks' ratio to ratios.
template <typename Library, typename Raw>
void AlternateBlocks(int blocks, int calls, Library library, Raw raw, std::vector<double> *lib,
                     std::vector<double> *rawTimes, std::vector<double> *ratios)
{
    for (int block = 0; block < blocks; ++block) {
        uint64_t t0 = NowNs();
        for (int i = 0; i < calls; ++i)
            library();
        uint64_t t1 = NowNs();
        lib->push_back((t1 - t0) * 1e-9 / calls);
        t0 = NowNs();
        for (int i = 0; i < calls; ++i)
            raw();
        t1 = NowNs();
        rawTimes->push_back((t1 - t0) * 1e-9 / calls);
        ratios->push_back(lib->back() / rawTimes->back());
    }
}

// Uniform random bytes from a fixed seed, so about 1 in 256 is 0xFF.
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);

// The bytes as they travel on the wire: every 0xFF doubled.
std::vector<uint8_t> Escape(const std::vector<uint8_t> &data);

// bench_util.cpp, POSIX sockets: ----------------------------------------------------------------

// A listening TCP socket on 127.0.0.1 and a free port; *port receives the port. Exits on failure.
int ListenLoopback(uint16_t *port, int backlog);

// A blocking TCP connection to 127.0.0.1:port with send coalescing off. Exits on failure.
int ConnectLoopback(uint16_t port);

// Sends all bytes in pieces of at most chunk bytes. Returns false on an error.
bool SendPieces(int fd, const uint8_t *data, size_t length, size_t chunk);

// Waits (poll) and receives until length bytes have arrived, in receives of at most chunk bytes.
// limitMs -1 waits without limit; otherwise everything must arrive within limitMs of the call,
// each wait getting the time that is left. Returns false on an error, a closed connection or the
// limit passing.
bool ReceiveExact(int fd, uint8_t *buffer, size_t length, size_t chunk, int limitMs);

// Resident memory of this process in KiB, from /proc/self/status.
long ResidentKiB();

// The 1-minute load average, or -1 when unknown.
double LoadAverage();

#endif
