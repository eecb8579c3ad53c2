// KvWriteFile: serial data out, every data 0xFF doubled, in chunks of at most kBufferSize bytes.
#include <cstring>

#include "kalvicom.h"
#include "port/handle.h"
#include "platform/scan.h"
#include "port/write.h"
#include "telnet/protocol.h"

int32_t SendAll(NetSocket sock, const uint8_t *buffer, uint32_t length)
{
    uint32_t sent = 0;
    while (sent < length) {
        int32_t n = NetSend(sock, buffer + sent, length - sent);
        if (n < 0)
            return -1;
        if (n == 0)
            return static_cast<int32_t>(sent);
        sent += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(length);
}

uint32_t EscapeChunk(PortContext *pc, const uint8_t *in, uint32_t length, bool *carry)
{
    uint8_t *tx = pc->txBuffer;
    uint32_t used = 0;
    while (used < length && pc->txCount < kBufferSize) {
        uint32_t limit = length - used;
        if (limit > kBufferSize - pc->txCount)
            limit = kBufferSize - pc->txCount;
        const uint8_t *iac = FindByte(in + used, telnet::IAC, limit);
        uint32_t run = iac ? static_cast<uint32_t>(iac - (in + used)) : limit;
        std::memcpy(tx + pc->txCount, in + used, run);
        pc->txCount += run;
        used += run;
        if (iac != nullptr) {
            // run < limit, so there is room for at least the first of the pair.
            tx[pc->txCount++] = telnet::IAC;
            ++used;
            if (pc->txCount < kBufferSize)
                tx[pc->txCount++] = telnet::IAC;
            else
                *carry = true; // the doubling 0xFF opens the next chunk
        }
    }
    return used;
}

extern "C" KALVICOM_API BOOL KVAPI KvWriteFile(HANDLE handle, const void *data, DWORD count, DWORD *bytesWritten)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || data == nullptr || bytesWritten == nullptr)
        return 0;
    *bytesWritten = 0;
    pc->txCount = 0;

    const uint8_t *in = static_cast<const uint8_t *>(data);
    uint32_t left = count;
    bool carry = false;
    while (left > 0 || carry) {
        if (carry) {
            pc->txBuffer[pc->txCount++] = telnet::IAC;
            carry = false;
        }
        uint32_t used = EscapeChunk(pc, in, left, &carry);
        in += used;
        left -= used;
        // A chunk that does not go out whole fails the write: the device would see a gap.
        const uint32_t length = pc->txCount;
        pc->txCount = 0;
        if (SendAll(pc->sock, pc->txBuffer, length) != static_cast<int32_t>(length))
            return 0;
    }
    *bytesWritten = count;
    return 1;
}
