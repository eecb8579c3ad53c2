// KvSetCommState, KvGetCommState and the two calls accepted for compatibility.
#include "kalvicom.h"
#include "port/baud_rates.h"
#include "port/handle.h"
#include "port/write.h"
#include "telnet/codec.h"
#include "telnet/protocol.h"

// Sends the command frame for one setting (value as valueBytes bytes) whole, then lets the
// server's answer settle, keeping any serial data for the next read. Returns false when the frame
// did not go out whole.
static bool SendPortCommand(PortContext *pc, uint8_t command, uint32_t value, uint32_t valueBytes)
{
    uint8_t frame[kComPortFrameMax];
    const uint32_t length = ComPortFrame(command, value, valueBytes, frame);
    if (SendAll(pc->sock, frame, length) != static_cast<int32_t>(length))
        return false;
    SettleKeepingData(pc->sock, &pc->inbound, kSettleMs); // a lost connection shows at the next read or write
    return true;
}

// The RFC 2217 value for a DCB Parity or StopBits value, or 0 when it is not accepted.
static uint8_t ParityValue(uint8_t parity)
{
    return parity <= SPACEPARITY ? static_cast<uint8_t>(parity + 1) : 0;
}

static uint8_t StopBitsValue(uint8_t stopBits)
{
    static const uint8_t values[] = {1, 3, 2}; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    return stopBits <= TWOSTOPBITS ? values[stopBits] : 0;
}

extern "C" KALVICOM_API BOOL KVAPI KvSetCommState(HANDLE handle, const DCB *dcb)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || dcb == nullptr)
        return 0;

    // Each setting in turn: the value is checked before it is compared with the cache, so an
    // invalid value is refused even when it equals the "not set yet" marker; a changed one is sent
    // and then cached.
    const uint32_t rate = dcb->BaudRate;
    if (!IsAcceptedBaudRate(rate) ||
        (rate != pc->cachedBaudRate && !SendPortCommand(pc, telnet::SET_BAUDRATE, rate, 4)))
        return 0;
    pc->cachedBaudRate = rate;

    const uint8_t size = dcb->ByteSize;
    if (size < 5 || size > 8 || (size != pc->cachedByteSize && !SendPortCommand(pc, telnet::SET_DATASIZE, size, 1)))
        return 0;
    pc->cachedByteSize = size;

    const uint8_t parity = ParityValue(dcb->Parity);
    if (parity == 0 || (dcb->Parity != pc->cachedParity && !SendPortCommand(pc, telnet::SET_PARITY, parity, 1)))
        return 0;
    pc->cachedParity = dcb->Parity;

    const uint8_t stopBits = StopBitsValue(dcb->StopBits);
    if (stopBits == 0 ||
        (dcb->StopBits != pc->cachedStopBits && !SendPortCommand(pc, telnet::SET_STOPSIZE, stopBits, 1)))
        return 0;
    pc->cachedStopBits = dcb->StopBits;
    return 1;
}

extern "C" KALVICOM_API BOOL KVAPI KvGetCommState(HANDLE handle, DCB *dcb)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || dcb == nullptr)
        return 0;
    dcb->BaudRate = pc->cachedBaudRate;
    dcb->StopBits = pc->cachedStopBits;
    dcb->Parity = pc->cachedParity;
    dcb->ByteSize = pc->cachedByteSize;
    return 1;
}

extern "C" KALVICOM_API BOOL KVAPI KvSetCommConfig(HANDLE, kv_commconfig_ptr, DWORD)
{
    return 1;
}

extern "C" KALVICOM_API BOOL KVAPI KvSetupComm(HANDLE, DWORD, DWORD)
{
    return 1;
}
