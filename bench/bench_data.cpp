// The platform-neutral half of bench_util.h: clocks, medians and test data, shared with the
// Windows benchmark.
#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <random>

#include "bench_util.h"

uint64_t NowNs()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    std::mt19937 rng(seed);
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        const uint32_t r = rng();
        std::memcpy(&data[i], &r, 4);
    }
    for (; i < size; ++i)
        data[i] = static_cast<uint8_t>(rng());
    return data;
}

std::vector<uint8_t> Escape(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> wire;
    wire.reserve(data.size() + data.size() / 128 + 16);
    for (uint8_t b : data) {
        wire.push_back(b);
        if (b == 0xFF)
            wire.push_back(0xFF);
    }
    return wire;
}

static int g_missed = 0;

void Row(const std::string &name, double library, double raw, const char *unit, double scale, bool isTime,
         double target, double ratio)
{
    if (ratio == 0)
        ratio = library / raw;
    std::printf("%-44s %10.2f %10.2f %-5s %7.3f", name.c_str(), library * scale, raw * scale, unit, ratio);
    if (target > 0) {
        const bool met = isTime ? ratio <= target : ratio >= target;
        g_missed += met ? 0 : 1;
        std::printf("   target %s %.2f: %s", isTime ? "<=" : ">=", target, met ? "met" : "MISSED");
    }
    std::printf("\n");
    std::fflush(stdout);
}

int TargetsMissed()
{
    return g_missed;
}
