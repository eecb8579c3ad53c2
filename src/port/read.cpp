// KvReadFile and KvSetCommTimeouts: serial data in, timed like a local port.
#include "port/read.h"
#include "kalvicom.h"
#include "port/handle.h"

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

ReceiveRules ChooseReadMode(uint32_t interval, uint32_t multiplier, uint32_t constant, uint32_t count)
{
    if (multiplier == 0 && constant == 0 && (interval == 0 || interval == MAXDWORD))
        return {interval == 0 ? kNetWaitForever : 0, false, false};
    const bool firstByte = interval == MAXDWORD && multiplier == MAXDWORD && constant > 0 && constant < MAXDWORD;
    const uint64_t total = firstByte ? constant : static_cast<uint64_t>(count) * multiplier + constant;
    return {total > kNetLongestWait ? kNetLongestWait : static_cast<uint32_t>(total), firstByte, false};
}

extern "C" KALVICOM_API BOOL KVAPI KvReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || buffer == nullptr || bytesRead == nullptr)
        return 0;
    *bytesRead = 0;
    if (count == 0)
        return 1;

    // The commonest call of all, an immediate read that finds nothing, is one receive and nothing
    // more: the mode is told from the time-outs before anything else is worked out.
    if (pc->inbound.rxPending == 0 && pc->readIntervalTimeout == MAXDWORD &&
        (pc->readTotalTimeoutMultiplier | pc->readTotalTimeoutConstant) == 0) {
        const FillResult r = FillReceiveBuffer(pc->sock, &pc->inbound, 0);
        if (r != kFilled)
            return r == kFillTimedOut;
    }
    const ReceiveRules rules =
        ChooseReadMode(pc->readIntervalTimeout, pc->readTotalTimeoutMultiplier, pc->readTotalTimeoutConstant, count);
    const int32_t delivered = ReceiveAndDecode(pc->sock, &pc->inbound, static_cast<uint8_t *>(buffer), count, rules);
    if (delivered < 0)
        return 0; // what this read had placed in buffer is lost with the connection
    *bytesRead = static_cast<uint32_t>(delivered);
    return 1;
}
