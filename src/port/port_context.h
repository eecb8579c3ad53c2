// The record behind every open port's handle.
#ifndef KALVICOM_PORT_PORT_CONTEXT_H
#define KALVICOM_PORT_PORT_CONTEXT_H

#include <cstdint>

#include "platform/net.h"

constexpr uint32_t kBufferSize = 4096;

// How long the server's answers are given to settle after the open and after each command.
constexpr uint32_t kSettleMs = 10;

// Line-setting cache values meaning "nothing sent yet": none of them is a valid setting, so the
// first KvSetCommState on a fresh port sends all four.
constexpr uint32_t kUnsetBaudRate = 0;
constexpr uint8_t kUnsetByteSize = 0;
constexpr uint8_t kUnsetParity = 0xFF;
constexpr uint8_t kUnsetStopBits = 0xFF;

struct PortContext {
    uint32_t port;      // TCP port number as parsed from the address text
    NetSocket sock;     // the connected socket
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t inSubnegotiation; // decoder: inside IAC SB ... IAC SE
    uint32_t skipOptionByte;   // decoder: the next byte is an option code to drop
    uint32_t iacSeen;          // decoder: the previous byte was an unpaired IAC
    uint32_t cachedBaudRate;   // line settings last sent, DCB coding
    uint8_t cachedByteSize;
    uint8_t cachedParity;
    uint8_t cachedStopBits;
    uint8_t txBuffer[kBufferSize]; // escaped outgoing data
    uint8_t rxBuffer[kBufferSize]; // received, not yet decoded bytes, from the first byte on
    uint32_t txCount;
    uint32_t rxPending;
    uint32_t rxStreaming; // the last receive filled rxBuffer: more is probably waiting
    uint32_t lastLook;    // NetCoarseTicks of the last look whether the server is still there
    intptr_t waitEvent;   // what waits for data block on, where the platform needs it
};

// Sets every member to its state right after open, apart from port and sock.
void ResetPortContext(PortContext *pc);

#endif
