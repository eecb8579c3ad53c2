// COM-PORT-OPTION commands that carry the line settings to the device server.
#ifndef KALVICOM_PORT_LINE_SETTINGS_H
#define KALVICOM_PORT_LINE_SETTINGS_H

#include <cstdint>

#include "port/port_context.h"

// Sends one command frame whole, then lets the server's answer settle (keeping any serial data
// for the next read). Returns 1, or 0 for a null pc or a frame that did not go out whole.
int SendPortCommand(PortContext *pc, const uint8_t *frame, uint32_t length);

#endif
