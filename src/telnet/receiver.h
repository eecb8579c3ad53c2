// The inbound road: socket -> rxBuffer -> decoder -> caller.
#ifndef KALVICOM_TELNET_RECEIVER_H
#define KALVICOM_TELNET_RECEIVER_H

#include <cstdint>

#include "port/port_context.h"

enum FillResult { kFilled, kFillTimedOut, kFillFailed };

// Waits up to wait milliseconds (0 polls, kNetWaitForever has no limit) for the socket to become
// readable, then receives once, up to kBufferSize bytes, into the empty rxBuffer. Failed means the
// wait or the receive failed or the server closed the connection.
FillResult FillReceiveBuffer(PortContext *pc, uint32_t wait);

// Decodes undecoded bytes of rxBuffer into out, at most room data bytes; returns how many it
// wrote. Telnet control is removed; the decoding state carries over
// from one call (and one receive) to the next. Bytes left when room runs out move to the front of
// rxBuffer.
int32_t TelnetDecode(PortContext *pc, uint8_t *out, uint32_t room);

// Consumes the Telnet control traffic at the front of rxBuffer and stops before the first data
// byte, which stays undecoded for the next read.
void TelnetSkipControl(PortContext *pc);

// What sets the callers of ReceiveAndDecode apart.
constexpr uint32_t kReceiveFullWaits = 1; // every wait lasts the whole ms, not the time left
constexpr uint32_t kReceiveUntilData = 2; // stop once data was delivered (room 0: is waiting)
constexpr uint32_t kReceiveOnce = 4;      // one pass: what is buffered, or one look at the socket

// The receive loop: fills rxBuffer when it is empty, decodes into out (at most room data bytes;
// room 0 only drops control traffic and leaves data in rxBuffer) and watches the clock, for ms
// milliseconds (kNetWaitForever: until room is used), or until room is used or the rules end it.
// Returns the number of bytes decoded, or -1 when the connection failed.
int32_t ReceiveAndDecode(PortContext *pc, uint8_t *out, uint32_t room, uint32_t ms, uint32_t rules);

// Receives and decodes into scratch for about ms milliseconds (up to twice that), or until room
// data bytes have been decoded. *decoded is set to 0 on entry and to the number decoded when the
// result is true. Returns false on a connection failure.
bool SettleWait(PortContext *pc, uint8_t *scratch, uint32_t room, uint32_t *decoded, uint32_t ms);

// Like SettleWait, but keeps serial data: control traffic arriving in the window is dropped, and
// the first data byte ends the receiving, staying in rxBuffer for the next read. Still lasts about
// ms milliseconds (up to twice that when nothing arrives). Returns false on a connection failure.
bool SettleKeepingData(PortContext *pc, uint32_t ms);

#endif
