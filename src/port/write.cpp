// KvWriteFile: serial data out, every data 0xFF doubled, in chunks of at most kBufferSize bytes.
#include "port/write.h"
#include "kalvicom.h"
#include "port/handle.h"
#include "telnet/codec.h"

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
        const uint32_t used = EscapeChunk(in, left, pc->txBuffer, kBufferSize, &pc->txCount, &carry);
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
