// Sending whole: what KvWriteFile and the line-setting commands share.
#ifndef KALVICOM_PORT_WRITE_H
#define KALVICOM_PORT_WRITE_H

#include <cstdint>

#include "platform/net.h"

// Sends length bytes, looping over partial sends. Returns length when all went out, -1 on a send
// error, or the number sent so far when a send accepts nothing.
int32_t SendAll(NetSocket sock, const uint8_t *buffer, uint32_t length);

#endif
