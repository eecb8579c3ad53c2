// The Telnet decoder, fed the way the library feeds it: the stream arrives in receives of any size
// (never more than one rxBuffer), and each call may have any room, or be a skip of the control
// traffic in front of the next data byte. Whatever the splits, the data delivered and the final
// decoding state must equal those of a plain byte-at-a-time decoder written from the decoding
// rules below, and every call must leave undecoded bytes only from a data byte on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "telnet/protocol.h"
#include "telnet/receiver.h"

namespace {

// The decoding rules, one byte at a time; the first rule that matches applies.
//   in a subnegotiation, after IAC:  SE ends it; IAC is an escaped 0xFF (dropped); any other byte
//                                    is dropped and the IAC stays pending
//   in a subnegotiation:             IAC is remembered; any other byte is dropped
//   after IAC:                       IAC delivers 0xFF; SB starts a subnegotiation; SE ends one;
//                                    WILL, WONT, DO, DONT drop the option byte that follows;
//                                    every other byte is a command standing alone
//   an option byte is owed:          dropped
//   IAC:                             remembered
//   anything else:                   delivered
struct ReferenceDecoder {
    bool sub = false;
    bool iac = false;
    bool skip = false;
    std::vector<uint8_t> out;

    void Feed(uint8_t b)
    {
        if (sub) {
            if (iac) {
                if (b == 0xF0) {
                    iac = false;
                    sub = false;
                } else if (b == 0xFF) {
                    iac = false;
                }
            } else if (b == 0xFF) {
                iac = true;
            }
        } else if (iac) {
            iac = false;
            if (b == 0xFF)
                out.push_back(0xFF);
            else if (b == 0xFA)
                sub = true;
            else if (b == 0xF0)
                skip = false;
            else if (b >= 0xFB && b <= 0xFE)
                skip = true;
        } else if (skip) {
            skip = false;
        } else if (b == 0xFF) {
            iac = true;
        } else {
            out.push_back(b);
        }
    }
};

void Fail(const char *what)
{
    std::fprintf(stderr, "decoder mismatch: %s\n", what);
    std::abort();
}

// Whatever a decode leaves undecoded starts with a data byte: a read that found only control
// traffic left in rxBuffer would end without looking at the socket.
void CheckLeftStartsWithData(const Inbound &pc)
{
    if (pc.rxPending > kBufferSize)
        Fail("rxPending past the buffer");
    if (pc.rxPending == 0)
        return;
    static Inbound copy;
    copy = pc;
    uint8_t one;
    if (TelnetDecode(&copy.decoder, copy.rxBuffer, &copy.rxPending, &one, 1) != 1)
        Fail("control traffic left in front of the undecoded bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    // The plan of receive sizes and rooms comes from the end of the input, the stream from the rest.
    struct Step {
        uint32_t receive; // bytes in the next receive, when rxBuffer is empty
        uint32_t room;    // 0: skip control traffic only
    };
    std::vector<Step> plan(in.ConsumeIntegralInRange<size_t>(0, 24));
    for (Step &s : plan) {
        s.receive = in.ConsumeIntegralInRange<uint32_t>(1, kBufferSize);
        s.room = in.ConsumeIntegralInRange<uint32_t>(0, 16) == 0 ? 0 : in.ConsumeIntegralInRange<uint32_t>(1, 300);
    }
    const std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();

    ReferenceDecoder reference;
    for (uint8_t b : stream)
        reference.Feed(b);

    static Inbound pc; // 4 KB: kept out of the stack
    pc = Inbound{};
    std::vector<uint8_t> got;
    std::vector<uint8_t> out(kBufferSize);
    size_t fed = 0;
    size_t step = 0;
    bool skippedLast = false;
    while (fed < stream.size() || pc.rxPending > 0) {
        const Step s = plan.empty() ? Step{kBufferSize, kBufferSize} : plan[step++ % plan.size()];
        if (pc.rxPending == 0) {
            uint32_t n = s.receive;
            if (n > stream.size() - fed)
                n = static_cast<uint32_t>(stream.size() - fed);
            std::memcpy(pc.rxBuffer, stream.data() + fed, n);
            pc.rxPending = n;
            fed += n;
        }
        if (s.room == 0 && !skippedLast) {
            TelnetSkipControl(&pc.decoder, pc.rxBuffer, &pc.rxPending);
            skippedLast = true;
            CheckLeftStartsWithData(pc);
            continue;
        }
        skippedLast = false;
        const uint32_t room = s.room == 0 ? 1 : s.room;
        const uint32_t before = pc.rxPending;
        const uint32_t n = TelnetDecode(&pc.decoder, pc.rxBuffer, &pc.rxPending, out.data(), room);
        if (n > room)
            Fail("count outside 0..room");
        if (pc.rxPending > before || (pc.rxPending == before && before > 0))
            Fail("a decode with room consumed nothing");
        got.insert(got.end(), out.begin(), out.begin() + n);
        CheckLeftStartsWithData(pc);
    }

    if (got != reference.out)
        Fail("data differs from the reference");
    if ((pc.decoder.inSubnegotiation != 0) != reference.sub || (pc.decoder.iacSeen != 0) != reference.iac ||
        (pc.decoder.skipOptionByte != 0) != reference.skip)
        Fail("final state differs from the reference");
    return 0;
}
