#include "telnet/receiver.h"

#include <cstring>

#include "platform/scan.h"
#include "telnet/protocol.h"

FillResult FillReceiveBuffer(PortContext *pc, uint32_t wait)
{
    // While data streams in (the last receive filled the buffer), more is almost surely waiting
    // and needs no readiness wait: that halves the system calls per receive. Otherwise the wait
    // comes first, so a request/answer exchange costs no extra call; a poll is one receive.
    const int32_t got = NetReceive(pc->sock, pc->rxBuffer, kBufferSize, wait, pc->rxStreaming != 0, &pc->lastLook);
    if (got == kNetTimedOut)
        return kFillTimedOut;
    if (got <= 0)
        return kFillFailed;
    pc->rxPending = static_cast<uint32_t>(got);
    pc->rxStreaming = pc->rxPending == kBufferSize;
    return kFilled;
}

// The decoder proper. Walks rxBuffer, writing data bytes to out (at most room), and stops before
// the first data byte that finds no room. Control traffic behind the last data byte that fitted
// is consumed too, so whatever stays in rxBuffer starts with data for the next read (a read that
// found only control left there would end without looking at the socket).
static uint32_t Decode(PortContext *pc, uint8_t *out, uint32_t room)
{
    const uint8_t *in = pc->rxBuffer;
    const uint32_t n = pc->rxPending;
    // The state lives in locals while the loop runs: a store to out could alias the record and
    // would force the state to be reloaded for every byte.
    uint32_t inSubnegotiation = pc->inSubnegotiation;
    uint32_t skipOptionByte = pc->skipOptionByte;
    uint32_t iacSeen = pc->iacSeen;
    uint32_t i = 0;
    uint32_t count = 0;
    while (i < n) {
        const uint8_t b = in[i];
        if (inSubnegotiation) {
            if (iacSeen) {
                if (b == telnet::SE) {
                    iacSeen = 0;
                    inSubnegotiation = 0;
                } else if (b == telnet::IAC) {
                    iacSeen = 0; // escaped 0xFF inside the subnegotiation
                }
                // any other byte is dropped and the IAC stays pending
                ++i;
            } else {
                // Everything up to the next IAC belongs to the subnegotiation.
                const uint8_t *iac = FindByte(in + i, telnet::IAC, n - i);
                if (iac == nullptr) {
                    i = n;
                } else {
                    i = static_cast<uint32_t>(iac - in) + 1;
                    iacSeen = 1;
                }
            }
            continue;
        }
        if (iacSeen) {
            if (b == telnet::IAC) {
                if (count == room)
                    break; // a data 0xFF: leave the pair half-read for the next call
                out[count++] = telnet::IAC;
            } else if (b == telnet::SB) {
                inSubnegotiation = 1;
            } else if (b == telnet::SE) {
                inSubnegotiation = 0;
                skipOptionByte = 0;
            } else if (b >= telnet::WILL && b <= telnet::DONT) {
                skipOptionByte = 1; // option negotiation: an option code follows
            }
            // every other command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, ...) stands alone
            iacSeen = 0;
            ++i;
            continue;
        }
        if (skipOptionByte) {
            skipOptionByte = 0;
            ++i;
            continue;
        }
        if (b == telnet::IAC) {
            iacSeen = 1;
            ++i;
            continue;
        }
        if (count == room)
            break;
        // A run of plain data: copy up to the next IAC in one piece. A doubled 0xFF met there is
        // one data byte and the run goes on; any other IAC is left to the code above.
        for (;;) {
            uint32_t limit = n - i;
            if (limit > room - count)
                limit = room - count;
            const uint8_t *iac = FindByte(in + i, telnet::IAC, limit);
            uint32_t run = iac ? static_cast<uint32_t>(iac - (in + i)) : limit;
            std::memcpy(out + count, in + i, run);
            count += run;
            i += run;
            if (iac == nullptr || i + 1 >= n || in[i + 1] != telnet::IAC)
                break;
            out[count++] = telnet::IAC;
            i += 2;
        }
    }
    const uint32_t left = n - i;
    if (left > 0 && i > 0)
        std::memmove(pc->rxBuffer, pc->rxBuffer + i, left);
    pc->rxPending = left;
    pc->inSubnegotiation = inSubnegotiation;
    pc->skipOptionByte = skipOptionByte;
    pc->iacSeen = iacSeen;
    return count;
}

int32_t TelnetDecode(PortContext *pc, uint8_t *out, uint32_t room)
{
    if (room == 0)
        return 0;
    return static_cast<int32_t>(Decode(pc, out, room));
}

void TelnetSkipControl(PortContext *pc)
{
    Decode(pc, nullptr, 0);
}

int32_t ReceiveAndDecode(PortContext *pc, uint8_t *out, uint32_t room, uint32_t ms, uint32_t rules)
{
    const uint32_t start = ms == 0 || ms == kNetWaitForever ? 0 : NetTicks(); // a poll reads no clock
    uint32_t count = 0;
    uint32_t wait = ms;
    for (;;) {
        if (pc->rxPending == 0) {
            FillResult r = FillReceiveBuffer(pc, wait);
            if (r == kFillFailed)
                return -1;
            if (r == kFillTimedOut)
                break;
        }
        if (room == 0)
            TelnetSkipControl(pc);
        else
            count += static_cast<uint32_t>(TelnetDecode(pc, out + count, room - count));
        const bool dataSeen = count > 0 || pc->rxPending > 0; // with room left, all is consumed
        if ((room > 0 && count == room) || (rules & kReceiveOnce) || ((rules & kReceiveUntilData) && dataSeen))
            break;
        if (ms == kNetWaitForever)
            continue;
        const uint32_t left = NetTimeLeft(start, ms);
        if (left == 0)
            break;
        wait = (rules & kReceiveFullWaits) ? ms : left;
    }
    return static_cast<int32_t>(count);
}

bool SettleWait(PortContext *pc, uint8_t *scratch, uint32_t room, uint32_t *decoded, uint32_t ms)
{
    *decoded = 0;
    if (room == 0)
        return true;
    // Each receive may wait the full ms, not the time left: the settle lasts up to twice ms.
    const int32_t count = ReceiveAndDecode(pc, scratch, room, ms, kReceiveFullWaits);
    if (count < 0)
        return false;
    *decoded = static_cast<uint32_t>(count);
    return true;
}

bool SettleKeepingData(PortContext *pc, uint32_t ms)
{
    const uint32_t start = NetTicks();
    if (ReceiveAndDecode(pc, nullptr, 0, ms, kReceiveFullWaits | kReceiveUntilData) < 0)
        return false;
    // Data is waiting for the next read, so nothing more can be received here: let the rest of
    // the window pass without touching the socket.
    if (pc->rxPending > 0)
        NetSleep(NetTimeLeft(start, ms));
    return true;
}
