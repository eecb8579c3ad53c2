// How a read is timed: the choice the stored time-outs make, apart from the clock.
#ifndef KALVICOM_PORT_READ_H
#define KALVICOM_PORT_READ_H

#include <cstdint>

#include "telnet/receiver.h"

// How the receive loop runs a read of count bytes under the time-outs (interval, multiplier,
// constant), by the first mode that matches: unbounded (no limit), immediate (one pass), first
// byte (the constant, ending on data), total (count x multiplier + constant). Limits are held at
// the longest wait the platform takes.
ReceiveRules ChooseReadMode(uint32_t interval, uint32_t multiplier, uint32_t constant, uint32_t count);

#endif
