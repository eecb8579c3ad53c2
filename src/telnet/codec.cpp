#include "telnet/codec.h"

#include <cstring>

#include "platform/scan.h"
#include "telnet/protocol.h"

// The decoder proper, for TelnetDecode (room > 0) and TelnetSkipControl (room 0, out unused).
static uint32_t Decode(TelnetState *state, uint8_t *in, uint32_t *pending, uint8_t *out, uint32_t room)
{
    const uint32_t n = *pending;
    // The state lives in locals while the loop runs: a store to out could alias it and would
    // force the state to be reloaded for every byte.
    uint32_t inSubnegotiation = state->inSubnegotiation;
    uint32_t skipOptionByte = state->skipOptionByte;
    uint32_t iacSeen = state->iacSeen;
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
                i = iac == nullptr ? n : static_cast<uint32_t>(iac - in) + 1;
                iacSeen = iac != nullptr;
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
        std::memmove(in, in + i, left);
    *pending = left;
    state->inSubnegotiation = inSubnegotiation;
    state->skipOptionByte = skipOptionByte;
    state->iacSeen = iacSeen;
    return count;
}

uint32_t TelnetDecode(TelnetState *state, uint8_t *in, uint32_t *pending, uint8_t *out, uint32_t room)
{
    return room == 0 ? 0 : Decode(state, in, pending, out, room);
}

void TelnetSkipControl(TelnetState *state, uint8_t *in, uint32_t *pending)
{
    Decode(state, in, pending, nullptr, 0);
}

uint32_t EscapeChunk(const uint8_t *data, uint32_t length, uint8_t *out, uint32_t size, uint32_t *filled, bool *carry)
{
    uint32_t n = *filled;
    if (*carry && n < size) {
        out[n++] = telnet::IAC;
        *carry = false;
    }
    uint32_t used = 0;
    while (used < length && n < size) {
        uint32_t limit = length - used;
        if (limit > size - n)
            limit = size - n;
        const uint8_t *iac = FindByte(data + used, telnet::IAC, limit);
        const uint32_t run = iac ? static_cast<uint32_t>(iac - (data + used)) : limit;
        std::memcpy(out + n, data + used, run);
        n += run;
        used += run;
        if (iac != nullptr) {
            // run < limit, so there is room for at least the first of the pair.
            out[n++] = telnet::IAC;
            ++used;
            if (n < size)
                out[n++] = telnet::IAC;
            else
                *carry = true; // the doubling 0xFF opens the next chunk
        }
    }
    *filled = n;
    return used;
}

uint32_t ComPortFrame(uint8_t command, uint32_t value, uint32_t valueBytes, uint8_t frame[kComPortFrameMax])
{
    uint32_t n = 0;
    frame[n++] = telnet::IAC;
    frame[n++] = telnet::SB;
    frame[n++] = telnet::COM_PORT_OPTION;
    frame[n++] = command;
    for (uint32_t i = valueBytes; i-- > 0;) {
        const uint8_t b = static_cast<uint8_t>(value >> (8 * i));
        frame[n++] = b;
        if (b == telnet::IAC)
            frame[n++] = telnet::IAC;
    }
    frame[n++] = telnet::IAC;
    frame[n++] = telnet::SE;
    return n;
}
