#include "telnet/receiver.h"

#include <cstring>

#include "telnet/protocol.h"

FillResult FillReceiveBuffer(PortContext *pc, uint32_t wait)
{
    NetWaitResult ready = NetWaitReadable(pc->sock, wait);
    if (ready == kNetWaitFailed)
        return kFillFailed;
    if (ready == kNetTimedOut)
        return kFillTimedOut;
    int32_t got = NetReceive(pc->sock, pc->rxBuffer, kBufferSize);
    if (got <= 0)
        return kFillFailed;
    pc->rxPending = static_cast<uint32_t>(got);
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
    uint32_t i = 0;
    uint32_t count = 0;
    while (i < n) {
        const uint8_t b = in[i];
        if (pc->inSubnegotiation) {
            if (pc->iacSeen) {
                if (b == SE) {
                    pc->iacSeen = 0;
                    pc->inSubnegotiation = 0;
                } else if (b == IAC) {
                    pc->iacSeen = 0; // escaped 0xFF inside the subnegotiation
                }
                // any other byte is dropped and the IAC stays pending
                ++i;
            } else {
                // Everything up to the next IAC belongs to the subnegotiation.
                const void *iac = std::memchr(in + i, IAC, n - i);
                if (iac == nullptr) {
                    i = n;
                } else {
                    i = static_cast<uint32_t>(static_cast<const uint8_t *>(iac) - in) + 1;
                    pc->iacSeen = 1;
                }
            }
            continue;
        }
        if (pc->iacSeen) {
            if (b == IAC) {
                if (count == room)
                    break; // a data 0xFF: leave the pair half-read for the next call
                out[count++] = IAC;
            } else if (b == SB) {
                pc->inSubnegotiation = 1;
            } else if (b == SE) {
                pc->inSubnegotiation = 0;
                pc->skipOptionByte = 0;
            } else if (b >= WILL && b <= DONT) {
                pc->skipOptionByte = 1; // option negotiation: an option code follows
            }
            // every other command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, ...) stands alone
            pc->iacSeen = 0;
            ++i;
            continue;
        }
        if (pc->skipOptionByte) {
            pc->skipOptionByte = 0;
            ++i;
            continue;
        }
        if (b == IAC) {
            pc->iacSeen = 1;
            ++i;
            continue;
        }
        if (count == room)
            break;
        // A run of plain data: copy up to the next IAC in one piece.
        uint32_t limit = n - i;
        if (limit > room - count)
            limit = room - count;
        const void *iac = std::memchr(in + i, IAC, limit);
        uint32_t run = iac ? static_cast<uint32_t>(static_cast<const uint8_t *>(iac) - (in + i)) : limit;
        std::memcpy(out + count, in + i, run);
        count += run;
        i += run;
    }
    const uint32_t left = n - i;
    if (left > 0 && i > 0)
        std::memmove(pc->rxBuffer, pc->rxBuffer + i, left);
    pc->rxPending = left;
    return count;
}

int32_t TelnetDecode(PortContext *pc, uint8_t *out, uint32_t room)
{
    if (pc == nullptr || out == nullptr)
        return -1;
    if (room == 0)
        return 0;
    return static_cast<int32_t>(Decode(pc, out, room));
}

void TelnetSkipControl(PortContext *pc)
{
    Decode(pc, nullptr, 0);
}

int SettleWait(PortContext *pc, uint8_t *scratch, uint32_t room, uint32_t *decoded, uint32_t ms)
{
    if (pc == nullptr || scratch == nullptr || decoded == nullptr)
        return 0;
    *decoded = 0;
    const uint32_t start = NetTicks();
    uint32_t count = 0;
    while (count < room) {
        if (pc->rxPending == 0) {
            FillResult r = FillReceiveBuffer(pc, ms); // the full ms each time, not the time left
            if (r == kFillFailed)
                return 0;
            if (r == kFillTimedOut)
                break;
        }
        count += static_cast<uint32_t>(TelnetDecode(pc, scratch + count, room - count));
        if (NetTicks() - start >= ms)
            break;
    }
    *decoded = count;
    return 1;
}

int SettleKeepingData(PortContext *pc, uint32_t ms)
{
    const uint32_t start = NetTicks();
    for (;;) {
        if (pc->rxPending == 0) {
            FillResult r = FillReceiveBuffer(pc, ms);
            if (r == kFillFailed)
                return 0;
            if (r == kFillTimedOut)
                return 1;
        }
        TelnetSkipControl(pc);
        const uint32_t elapsed = NetTicks() - start;
        if (pc->rxPending > 0) {
            // Data is waiting for the next read, so nothing more can be received here: let the
            // rest of the window pass without touching the socket.
            if (elapsed < ms)
                NetSleep(ms - elapsed);
            return 1;
        }
        if (elapsed >= ms)
            return 1;
    }
}
