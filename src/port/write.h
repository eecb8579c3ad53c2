// The outbound road: caller's data -> escaped into txBuffer -> socket.
#ifndef KALVICOM_PORT_WRITE_H
#define KALVICOM_PORT_WRITE_H

#include <cstdint>

#include "port/port_context.h"

// Sends length bytes, looping over partial sends. Returns length when all went out, -1 on a send
// error, or the number sent so far when a send accepts nothing.
int32_t SendAll(NetSocket sock, const uint8_t *buffer, uint32_t length);

// Escapes input into txBuffer after its txCount bytes, doubling every 0xFF, until txBuffer is full
// or the input is used up; returns how many input bytes it took. When a doubled 0xFF does not fit
// whole, its second byte is owed to the next chunk and *carry is set.
uint32_t EscapeChunk(PortContext *pc, const uint8_t *in, uint32_t length, bool *carry);

#endif
