// KvReadFile and KvSetCommTimeouts: serial data in, timed like a local port.
#include "port/read.h"
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

ReadMode ChooseReadMode(uint32_t interval, uint32_t multiplier, uint32_t constant, uint32_t count, uint32_t *limit)
{
    *limit = 0;
    if (multiplier == 0 && constant == 0 && (interval == 0 || interval == MAXDWORD))
        return interval == 0 ? kUnbounded : kImmediate;
    const bool firstByte = interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 && constant < MAXDWORD;
    const uint64_t total = firstByte ? constant : static_cast<uint64_t>(count) * multiplier + constant;
    *limit = total > kNetLongestWait ? kNetLongestWait : static_cast<uint32_t>(total);
    return firstByte ? kFirstByte : kTotal;
}

extern "C" KALVICOM_API BOOL KVAPI KvReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || buffer == nullptr || bytesRead == nullptr)
        return 0;
    *bytesRead = 0;
    if (count == 0)
        return 1;

    uint32_t limit;
    const ReadMode mode = ChooseReadMode(pc->readIntervalTimeout, pc->readTotalTimeoutMultiplier,
                                         pc->readTotalTimeoutConstant, count, &limit);
    if (mode == kImmediate && pc->rxPending == 0) {
        // The commonest call of all, a poll that finds nothing, is one receive and nothing more.
        const FillResult r = FillReceiveBuffer(pc, 0);
        if (r != kFilled)
            return r == kFillTimedOut;
    }
    static const uint32_t kRules[] = {0, kReceiveOnce, kReceiveUntilData, 0}; // by mode
    const int32_t delivered = ReceiveAndDecode(pc, static_cast<uint8_t *>(buffer), count,
                                               mode == kUnbounded ? kNetWaitForever : limit, kRules[mode]);
    if (delivered < 0)
        return 0; // what this read had placed in buffer is lost with the connection
    *bytesRead = static_cast<uint32_t>(delivered);
    return 1;
}
