// The sends and receives that wait, built on the platform's non-blocking calls: a send is tried
// first, waits come in slices of at most kNetLookAgainMs, and a quiet slice is the moment to ask
// whether the server is still there.
#include "platform/net.h"

bool NetAbandonIfGone(NetSocket sock, bool wholeSlice, uint32_t *lastLook)
{
    if (lastLook != nullptr) {
        const uint32_t now = NetCoarseTicks();
        if (!wholeSlice && now - *lastLook < kNetLookAgainMs)
            return false;
        *lastLook = now;
    }
    if (!NetPeerGone(sock))
        return false;
    NetAbandon(sock);
    return true;
}

// Waits up to ms for data and receives it: on the connection's wait event where it has one, else
// a readiness wait and a receive. Returns what NetReceiveOnEvent returns.
static int32_t ReceiveWithin(NetSocket sock, void *buffer, uint32_t length, uint32_t ms, intptr_t event)
{
    if (event != kNetNoEvent)
        return NetReceiveOnEvent(sock, buffer, length, ms, event);
    const int ready = NetWaitReady(sock, false, ms);
    if (ready <= 0)
        return ready < 0 ? -1 : kNetTimedOut;
    const int32_t got = NetTryReceive(sock, buffer, length); // readable, or an error or close
    return got == kNetWouldBlock ? kNetTimedOut : got;
}

int32_t NetSend(NetSocket sock, const void *data, uint32_t length)
{
    for (;;) {
        const int32_t sent = NetTrySend(sock, data, length);
        if (sent != kNetWouldBlock)
            return sent;
        const int ready = NetWaitReady(sock, true, kNetLookAgainMs);
        if (ready < 0 || (ready == 0 && NetAbandonIfGone(sock, true, nullptr)))
            return -1;
    }
}

int32_t NetReceive(NetSocket sock, void *buffer, uint32_t length, uint32_t ms, uint32_t *lastLook, intptr_t event)
{
    const bool forever = ms == kNetWaitForever;
    const uint32_t start = forever ? 0 : NetTicks();
    for (;;) {
        const uint32_t left = forever ? kNetLookAgainMs : NetTimeLeft(start, ms);
        const uint32_t slice = left < kNetLookAgainMs ? left : kNetLookAgainMs;
        const int32_t got = slice == 0 ? kNetTimedOut : ReceiveWithin(sock, buffer, length, slice, event);
        if (got != kNetTimedOut)
            return got;
        if (NetAbandonIfGone(sock, slice == kNetLookAgainMs, lastLook))
            return -1;
        if (!forever && NetTimeLeft(start, ms) == 0)
            return kNetTimedOut;
    }
}
