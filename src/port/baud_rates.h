// The baud rates KvSetCommState accepts. Header only, so that kvterm checks a rate against the
// same list before it connects.
#ifndef KALVICOM_PORT_BAUD_RATES_H
#define KALVICOM_PORT_BAUD_RATES_H

#include <cstdint>

constexpr uint32_t kBaudRates[] = {50,   75,   110,  134,  150,   200,   300,   600,   1200,
                                   1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

inline bool IsAcceptedBaudRate(uint32_t rate)
{
    for (uint32_t accepted : kBaudRates)
        if (rate == accepted)
            return true;
    return false;
}

#endif
