// KvReadFile and KvSetCommTimeouts: serial data in, timed like a local port.
#include "kalvicom.h"
#include "port/handle.h"
#include "telnet/receiver.h"

extern "C" KALVICOM_API BOOL KVAPI KvSetCommTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || timeouts == nullptr)
        return 0;
    pc->readIntervalTimeout = timeouts->ReadIntervalTimeout;
    pc->readTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    pc->readTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    return 1;
}

enum ReadMode { kUnbounded, kImmediate, kFirstByte, kTotal };

// The milliseconds a total-mode read may take, held at the longest wait the platform takes.
static uint32_t TotalLimit(uint32_t count, uint32_t multiplier, uint32_t constant)
{
    uint64_t limit = static_cast<uint64_t>(count) * multiplier + constant;
    return limit > kNetLongestWait ? kNetLongestWait : static_cast<uint32_t>(limit);
}

extern "C" KALVICOM_API BOOL KVAPI KvReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || buffer == nullptr || bytesRead == nullptr)
        return 0;
    *bytesRead = 0;
    if (count == 0)
        return 1;

    const uint32_t start = NetTicks();
    const uint32_t interval = pc->readIntervalTimeout;
    const uint32_t multiplier = pc->readTotalTimeoutMultiplier;
    const uint32_t constant = pc->readTotalTimeoutConstant;
    ReadMode mode = kTotal;
    uint32_t limit = 0; // milliseconds from start until the read gives up
    if (multiplier == 0 && constant == 0 && interval == 0) {
        mode = kUnbounded;
    } else if (multiplier == 0 && constant == 0 && interval == MAXDWORD) {
        mode = kImmediate;
    } else if (interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 && constant < MAXDWORD) {
        mode = kFirstByte;
        limit = constant > kNetLongestWait ? kNetLongestWait : constant;
    } else {
        limit = TotalLimit(count, multiplier, constant);
    }
    uint32_t wait = mode == kUnbounded ? kNetWaitForever : limit; // immediate: 0, a poll

    uint8_t *out = static_cast<uint8_t *>(buffer);
    uint32_t delivered = 0;
    for (;;) {
        if (pc->rxPending == 0) {
            FillResult r = FillReceiveBuffer(pc, wait);
            if (r == kFillFailed)
                return 0;
            if (r == kFillTimedOut)
                break;
        }
        delivered += static_cast<uint32_t>(TelnetDecode(pc, out + delivered, count - delivered));
        if (delivered == count || mode == kImmediate)
            break;
        if (mode == kUnbounded)
            continue;
        const uint32_t elapsed = NetTicks() - start;
        if (elapsed >= limit || (mode == kFirstByte && delivered > 0))
            break;
        wait = limit - elapsed;
    }
    *bytesRead = delivered;
    return 1;
}
