// The inbound road: socket -> rxBuffer -> decoder -> caller.
#ifndef KALVICOM_TELNET_RECEIVER_H
#define KALVICOM_TELNET_RECEIVER_H

#include <cstdint>

#include "platform/net.h"
#include "telnet/codec.h"

// The most one receive takes, and the size of a port's transmit buffer too.
constexpr uint32_t kBufferSize = 4096;

// What the receive step keeps for a connection from one call to the next. What an immediate read
// of an idle port touches comes first, so that it shares a cache line with the port's time-outs.
struct Inbound {
    uint32_t rxPending;   // undecoded bytes, held from the first byte of rxBuffer on
    uint32_t rxStreaming; // the last receive filled rxBuffer: more is probably waiting
    uint32_t lastLook;    // NetCoarseTicks of the last look whether the server is still there
    intptr_t waitEvent;   // what waits for data block on, where the platform needs one
    TelnetState decoder;
    uint8_t rxBuffer[kBufferSize];
};

enum FillResult { kFilled, kFillTimedOut, kFillFailed };

// Waits up to wait milliseconds (0 polls, kNetWaitForever has no limit) for sock to become
// readable, then receives once, up to kBufferSize bytes, into the empty rxBuffer. Failed means the
// wait or the receive failed or the server closed the connection. Inline: a poll of an idle port
// is this and the one receive.
inline FillResult FillReceiveBuffer(NetSocket sock, Inbound *in, uint32_t wait)
{
    // A poll is one receive. While data streams in (the last receive filled the buffer), more is
    // almost surely waiting and needs no readiness wait either: that halves the system calls per
    // receive. Otherwise the wait comes first, so a request/answer exchange costs no extra call.
    int32_t got = wait == 0 || in->rxStreaming ? NetTryReceive(sock, in->rxBuffer, kBufferSize) : kNetWouldBlock;
    if (got == kNetWouldBlock && wait == 0) // a poll that finds nothing: now and then, a look
        return NetAbandonIfGone(sock, false, &in->lastLook) ? kFillFailed : kFillTimedOut;
    if (got == kNetWouldBlock)
        got = NetReceive(sock, in->rxBuffer, kBufferSize, wait, &in->lastLook, in->waitEvent);
    if (got <= 0)
        return got == kNetTimedOut ? kFillTimedOut : kFillFailed;
    in->rxPending = static_cast<uint32_t>(got);
    in->rxStreaming = in->rxPending == kBufferSize;
    return kFilled;
}

// How a receive loop runs, besides ending once its room is full.
struct ReceiveRules {
    uint32_t ms;    // how long in all: 0 is one pass (what is buffered, or one receive), and
                    // kNetWaitForever no limit
    bool untilData; // the first data delivered ends it
    bool fullWaits; // each wait may last the whole ms, not the time left
};

// The receive loop: fills rxBuffer when it is empty, decodes into out (at most room data bytes,
// room > 0) and watches the clock as the rules say. Returns the number of bytes decoded, or -1
// when the connection failed.
int32_t ReceiveAndDecode(NetSocket sock, Inbound *in, uint8_t *out, uint32_t room, ReceiveRules rules);

// Receives and decodes into scratch for about ms milliseconds (up to twice that), or until room
// (more than 0) data bytes have been decoded. *decoded is set to 0 on entry and to the number decoded when the
// result is true. Returns false on a connection failure.
bool SettleWait(NetSocket sock, Inbound *in, uint8_t *scratch, uint32_t room, uint32_t *decoded, uint32_t ms);

// Like SettleWait, but keeps serial data: control traffic arriving in the window is dropped, and
// the first data byte ends the receiving, staying in rxBuffer for the next read. Still lasts about
// ms milliseconds (up to twice that when nothing arrives). Returns false on a connection failure.
bool SettleKeepingData(NetSocket sock, Inbound *in, uint32_t ms);

#endif
