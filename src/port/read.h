// How a read is timed: the choice the stored time-outs make, apart from the clock.
#ifndef KALVICOM_PORT_READ_H
#define KALVICOM_PORT_READ_H

#include <cstdint>

enum ReadMode { kUnbounded, kImmediate, kFirstByte, kTotal };

// The mode that the time-outs (interval, multiplier, constant) select for a read of count bytes,
// tried in the order of the enum, and in *limit the milliseconds the read may take from its start
// (0 for unbounded and immediate reads), held at the longest wait the platform takes.
ReadMode ChooseReadMode(uint32_t interval, uint32_t multiplier, uint32_t constant, uint32_t count, uint32_t *limit);

#endif
