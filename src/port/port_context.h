// The record behind every open port's handle.
#ifndef KALVICOM_PORT_PORT_CONTEXT_H
#define KALVICOM_PORT_PORT_CONTEXT_H

#include <cstdint>

#include "platform/net.h"
#include "telnet/receiver.h"

// How long the server's answers are given to settle after the open and after each command.
constexpr uint32_t kSettleMs = 10;

// Line-setting cache values meaning "nothing sent yet" (with a baud rate and byte size of 0): none
// of them is a valid setting, so the first KvSetCommState on a fresh port sends all four.
constexpr uint8_t kUnsetParity = 0xFF;
constexpr uint8_t kUnsetStopBits = 0xFF;

struct PortContext {
    uint32_t port;  // TCP port number as parsed from the address text
    NetSocket sock; // the connected socket
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t cachedBaudRate; // line settings last sent, DCB coding
    uint8_t cachedByteSize;
    uint8_t cachedParity;
    uint8_t cachedStopBits;
    uint32_t txCount;
    Inbound inbound;               // received bytes not yet decoded, and the decoder's state
    uint8_t txBuffer[kBufferSize]; // escaped outgoing data
};

#endif
