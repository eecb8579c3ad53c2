// Protocol byte values, named as their RFCs name them, in a namespace of their own (telnet::IAC).
#ifndef KALVICOM_TELNET_PROTOCOL_H
#define KALVICOM_TELNET_PROTOCOL_H

#include <cstdint>

namespace telnet {

// Telnet commands (RFC 854); the other commands, 0xF1 to 0xF9, stand alone and are dropped
constexpr uint8_t SE = 0xF0;   // end of subnegotiation
constexpr uint8_t SB = 0xFA;   // start of subnegotiation
constexpr uint8_t WILL = 0xFB;
constexpr uint8_t WONT = 0xFC;
constexpr uint8_t DO = 0xFD;
constexpr uint8_t DONT = 0xFE;
constexpr uint8_t IAC = 0xFF;  // interpret as command

// Options
constexpr uint8_t TRANSMIT_BINARY = 0x00; // RFC 856
constexpr uint8_t COM_PORT_OPTION = 0x2C; // RFC 2217

// COM-PORT-OPTION client-to-server commands (RFC 2217)
constexpr uint8_t SET_BAUDRATE = 1;
constexpr uint8_t SET_DATASIZE = 2;
constexpr uint8_t SET_PARITY = 3;
constexpr uint8_t SET_STOPSIZE = 4;

} // namespace telnet

#endif
