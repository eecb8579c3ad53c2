// Reading the "A.B.C.D:PORT" address text.
#ifndef KALVICOM_PORT_ADDRESS_H
#define KALVICOM_PORT_ADDRESS_H

#include <cstdint>

// Reads five unsigned decimal numbers separated by '.', '.', '.' and ':'. Before each number
// white space is skipped and one '+' or '-' may stand; each separator must follow the digits
// directly; whatever follows the port's digits is ignored. Fails (returns false) when a number or
// separator is missing, a number does not fit in 32 bits, an address number exceeds 255 or the
// port exceeds 65535, or a minus sign stands before anything but zero.
bool ParseAddress(const char *text, uint8_t address[4], uint32_t *port);

#endif
