// The Telnet codec: the inbound stream decoded into serial data, serial data escaped for the
// outbound stream, and the COM-PORT-OPTION command frames. Pure functions over state and buffers
// their callers own: no I/O, no clock, no allocation.
#ifndef KALVICOM_TELNET_CODEC_H
#define KALVICOM_TELNET_CODEC_H

#include <cstdint>

// Where the decoder stands between two calls, so that a sequence split across two receives
// decodes as if it had arrived whole. All zero at the start of a connection.
struct TelnetState {
    uint32_t inSubnegotiation; // inside IAC SB ... IAC SE
    uint32_t skipOptionByte;   // the next byte is an option code to drop
    uint32_t iacSeen;          // the previous byte was an unpaired IAC
};

// Decodes the *pending bytes at the front of in into out, at most room data bytes, and returns
// how many it wrote (room 0: none, nothing consumed). Telnet control is removed. Decoding stops
// before the first data byte that finds no room; control behind the last data byte that fitted is
// consumed too, so what is left starts with data (a read that found only control left would end
// without looking at the socket). What is left moves to the front of in; *pending is its length.
uint32_t TelnetDecode(TelnetState *state, uint8_t *in, uint32_t *pending, uint8_t *out, uint32_t room);

// Consumes the control traffic at the front of in and stops before the first data byte, which
// stays for the next decode (moved to the front as above).
void TelnetSkipControl(TelnetState *state, uint8_t *in, uint32_t *pending);

// Escapes data into out after its *filled bytes, at most up to size, doubling every 0xFF, until
// out is full or data is used up; returns how many data bytes it took and updates *filled. *carry
// is the second byte of a doubled 0xFF owed to the next chunk: on entry it goes first, and it is
// set again when a doubled 0xFF does not fit whole.
uint32_t EscapeChunk(const uint8_t *data, uint32_t length, uint8_t *out, uint32_t size, uint32_t *filled, bool *carry);

// The longest command frame: IAC SB COM-PORT-OPTION command, four value bytes each doubled, IAC SE.
constexpr uint32_t kComPortFrameMax = 14;

// Writes the command frame IAC SB COM-PORT-OPTION command value IAC SE (RFC 2217) into frame and
// returns its length: value as valueBytes bytes (1 to 4), most significant first, every 0xFF among
// them doubled as a subnegotiation's data must be (RFC 855).
uint32_t ComPortFrame(uint8_t command, uint32_t value, uint32_t valueBytes, uint8_t frame[kComPortFrameMax]);

#endif
