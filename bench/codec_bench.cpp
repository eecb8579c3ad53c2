// Decoder and escaper throughput, next to memcpy of the same buffer.
//
// Three kinds of serial data: plain (no 0xFF), random (uniform bytes, so about 1 in 256 is
// 0xFF) and worst case (every byte 0xFF). The decoder runs over one full rxBuffer of the data as
// it arrives on the wire (each 0xFF doubled); the escaper fills one txBuffer from the data. Both
// count bytes/s on the buffer they walk, so each is directly comparable with memcpy of 4096 bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "telnet/codec.h"
#include "telnet/receiver.h"

namespace
{

enum DataKind { kPlain, kRandom, kWorst };

std::vector<uint8_t> Payload(DataKind kind, size_t size)
{
    std::vector<uint8_t> data(size);
    std::mt19937 rng(kind + 1);
    for (auto &b : data) {
        if (kind == kWorst)
            b = 0xFF;
        else if (kind == kRandom)
            b = static_cast<uint8_t>(rng());
        else
            b = static_cast<uint8_t>(rng() % 255); // never 0xFF
    }
    return data;
}

// The first kBufferSize bytes of the payload as they travel on the wire.
std::vector<uint8_t> Wire(const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> wire;
    for (uint8_t b : payload) {
        wire.push_back(b);
        if (b == 0xFF)
            wire.push_back(0xFF);
        if (wire.size() >= kBufferSize)
            break;
    }
    wire.resize(kBufferSize);
    return wire;
}

void BM_Memcpy(benchmark::State &state)
{
    std::vector<uint8_t> src = Payload(kRandom, kBufferSize);
    std::vector<uint8_t> dst(kBufferSize);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kBufferSize);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

void BM_Decode(benchmark::State &state)
{
    const DataKind kind = static_cast<DataKind>(state.range(0));
    const std::vector<uint8_t> wire = Wire(Payload(kind, 2 * kBufferSize));
    static Inbound rx; // 4 KiB: static rather than on the stack
    std::memcpy(rx.rxBuffer, wire.data(), kBufferSize);
    std::vector<uint8_t> out(kBufferSize);
    // The expected output, checked once before timing.
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == 0xFF && ++i == wire.size())
            break; // the first half of a pair: held until the next buffer
        expected.push_back(wire[i]);
    }
    int64_t decoded = 0;
    for (auto _ : state) {
        rx.rxPending = kBufferSize;
        rx.decoder.iacSeen = 0; // a pair split at the buffer's end would carry over
        decoded = TelnetDecode(&rx.decoder, rx.rxBuffer, &rx.rxPending, out.data(), kBufferSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (decoded != static_cast<int64_t>(expected.size()) ||
        std::memcmp(out.data(), expected.data(), expected.size()) != 0)
        state.SkipWithError("decoded data differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBufferSize);
}

void BM_Escape(benchmark::State &state)
{
    const DataKind kind = static_cast<DataKind>(state.range(0));
    const std::vector<uint8_t> payload = Payload(kind, kBufferSize);
    static uint8_t tx[kBufferSize];
    uint32_t used = 0;
    uint32_t filled = 0;
    for (auto _ : state) {
        filled = 0;
        bool carry = false;
        used = EscapeChunk(payload.data(), kBufferSize, tx, kBufferSize, &filled, &carry);
        benchmark::DoNotOptimize(tx);
        benchmark::ClobberMemory();
    }
    const std::vector<uint8_t> wire = Wire(payload);
    if (std::memcmp(tx, wire.data(), filled) != 0)
        state.SkipWithError("escaped data differs");
    // Bytes written to the buffer per call: the output side, like memcpy's.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * filled);
    state.counters["input_bytes"] = used;
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Decode)->ArgName("data")->Arg(kPlain)->Arg(kRandom)->Arg(kWorst);
BENCHMARK(BM_Escape)->ArgName("data")->Arg(kPlain)->Arg(kRandom)->Arg(kWorst);

// Prints the usual table, then each codec median as a fraction of memcpy's median.
class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            // The median of the repetitions when there are any, else the single run.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                rates_[run.run_name.str()] = it->second.value;
        }
    }

    void PrintRatios() const
    {
        auto memcpyRate = rates_.find("BM_Memcpy");
        if (memcpyRate == rates_.end())
            return;
        const char *names[] = {"plain", "random", "worst"};
        std::printf("\n%-26s %12s %10s\n", "codec (4096-byte buffer)", "MB/s", "x memcpy");
        std::printf("%-26s %12.0f %10.2f\n", "memcpy", memcpyRate->second / 1e6, 1.0);
        for (const char *fn : {"BM_Decode", "BM_Escape"}) {
            for (int k = 0; k < 3; ++k) {
                std::string key = std::string(fn) + "/data:" + std::to_string(k);
                auto r = rates_.find(key);
                if (r == rates_.end())
                    continue;
                std::string label = std::string(fn + 3) + " " + names[k];
                std::printf("%-26s %12.0f %10.2f\n", label.c_str(), r->second / 1e6, r->second / memcpyRate->second);
            }
        }
        auto plain = rates_.find("BM_Decode/data:0");
        if (plain != rates_.end())
            std::printf("target: decoder on plain data >= 0.50 x memcpy: %s\n",
                        plain->second >= 0.5 * memcpyRate->second ? "met" : "MISSED");
    }

  private:
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
