#include "telnet/receiver.h"

int32_t ReceiveAndDecode(NetSocket sock, Inbound *in, uint8_t *out, uint32_t room, ReceiveRules rules)
{
    const bool forever = rules.ms == kNetWaitForever;
    const uint32_t start = rules.ms == 0 || forever ? 0 : NetTicks(); // a poll reads no clock
    uint32_t count = 0;
    uint32_t wait = rules.ms;
    for (;;) {
        if (in->rxPending == 0) {
            const FillResult r = FillReceiveBuffer(sock, in, wait);
            if (r == kFillFailed)
                return -1;
            if (r == kFillTimedOut)
                break;
        }
        count += TelnetDecode(&in->decoder, in->rxBuffer, &in->rxPending, out + count, room - count);
        if (count == room || (rules.untilData && count > 0) || rules.ms == 0)
            break;
        if (forever)
            continue;
        const uint32_t left = NetTimeLeft(start, rules.ms);
        if (left == 0)
            break;
        wait = rules.fullWaits ? rules.ms : left;
    }
    return static_cast<int32_t>(count);
}

bool SettleWait(NetSocket sock, Inbound *in, uint8_t *scratch, uint32_t room, uint32_t *decoded, uint32_t ms)
{
    *decoded = 0;
    // Each receive may wait the full ms, not the time left: the settle lasts up to twice ms.
    const int32_t count = ReceiveAndDecode(sock, in, scratch, room, {ms, false, true});
    if (count < 0)
        return false;
    *decoded = static_cast<uint32_t>(count);
    return true;
}

bool SettleKeepingData(NetSocket sock, Inbound *in, uint32_t ms)
{
    const uint32_t start = NetTicks();
    for (;;) {
        if (in->rxPending == 0) {
            const FillResult r = FillReceiveBuffer(sock, in, ms); // the full ms each time, as above
            if (r != kFilled)
                return r == kFillTimedOut;
        }
        TelnetSkipControl(&in->decoder, in->rxBuffer, &in->rxPending);
        if (in->rxPending > 0) {
            // Data is waiting for the next read, so nothing more can be received here: let the
            // rest of the window pass without touching the socket.
            NetSleep(NetTimeLeft(start, ms));
            return true;
        }
        if (NetTimeLeft(start, ms) == 0)
            return true;
    }
}
