// Writing then decoding gives back what was written. The data goes through KvWriteFile itself
// (EscapeChunk and its carry across chunks) into one end of a local packet socket pair, so each
// chunk the write sends arrives as one packet: every chunk must hold at most one txBuffer, the
// chunks together must be the data with each 0xFF doubled, and decoding them must give the data
// back. A run of filler bytes in front moves the data across the chunk boundaries.
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kalvicom.h"
#include "port/port_context.h"
#include "telnet/receiver.h"

namespace {

void Fail(const char *what)
{
    std::fprintf(stderr, "escape round trip: %s\n", what);
    std::abort();
}

int g_pair[2] = {-1, -1};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_pair[0] < 0 && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, g_pair) != 0)
        Fail("no socket pair");

    FuzzedDataProvider in(data, size);
    const size_t filler = in.ConsumeIntegralInRange<size_t>(0, 2 * kBufferSize + 2);
    const uint8_t fillerByte = in.ConsumeIntegral<uint8_t>();
    const size_t writes = in.ConsumeIntegralInRange<size_t>(1, 4);
    std::vector<size_t> cuts;
    for (size_t i = 1; i < writes; ++i)
        cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, 3 * kBufferSize));
    std::vector<uint8_t> input(filler, fillerByte);
    std::vector<uint8_t> rest = in.ConsumeBytes<uint8_t>(2 * kBufferSize);
    input.insert(input.end(), rest.begin(), rest.end());

    static PortContext pc; // KvWriteFile uses only sock, txBuffer and txCount
    pc.sock = g_pair[0];
    static Inbound decoder;
    decoder = Inbound{};

    std::vector<uint8_t> wire;
    std::vector<uint8_t> decoded;
    std::vector<uint8_t> out(kBufferSize);
    size_t from = 0;
    for (size_t w = 0; w < writes; ++w) {
        size_t to = w + 1 < writes ? from + cuts[w] : input.size();
        if (to > input.size())
            to = input.size();
        DWORD written = 12345;
        const uint8_t none = 0;
        const uint8_t *part = to > from ? input.data() + from : &none;
        if (KvWriteFile(&pc, part, static_cast<DWORD>(to - from), &written) != 1 || written != to - from)
            Fail("write failed");
        // Collect this write's chunks; nothing more than one write's worth is ever queued.
        for (;;) {
            ssize_t n = recv(g_pair[1], decoder.rxBuffer, kBufferSize + 1, MSG_DONTWAIT);
            if (n < 0)
                break;
            if (n == 0 || n > static_cast<ssize_t>(kBufferSize))
                Fail("a chunk empty or larger than txBuffer");
            wire.insert(wire.end(), decoder.rxBuffer, decoder.rxBuffer + n);
            decoder.rxPending = static_cast<uint32_t>(n);
            while (decoder.rxPending > 0) {
                const uint32_t got =
                    TelnetDecode(&decoder.decoder, decoder.rxBuffer, &decoder.rxPending, out.data(), kBufferSize);
                decoded.insert(decoded.end(), out.begin(), out.begin() + got);
            }
        }
        from = to;
    }

    std::vector<uint8_t> escaped;
    for (uint8_t b : input) {
        escaped.push_back(b);
        if (b == 0xFF)
            escaped.push_back(0xFF);
    }
    if (wire != escaped)
        Fail("the wire is not the data with each 0xFF doubled");
    if (decoded != input)
        Fail("decoding the wire does not give the data back");
    if (decoder.decoder.iacSeen || decoder.decoder.inSubnegotiation || decoder.decoder.skipOptionByte)
        Fail("decoder left inside a sequence");
    return 0;
}
