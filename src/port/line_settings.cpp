// KvSetCommState, KvGetCommState and the two calls accepted for compatibility.
#include "kalvicom.h"
#include "port/baud_rates.h"
#include "port/handle.h"
#include "port/write.h"
#include "telnet/protocol.h"
#include "telnet/receiver.h"

// Sends one command frame whole, then lets the server's answer settle (keeping any serial data
// for the next read). Returns false when the frame did not go out whole.
static bool SendPortCommand(PortContext *pc, const uint8_t *frame, uint32_t length)
{
    if (SendAll(pc->sock, frame, length) != static_cast<int32_t>(length))
        return false;
    SettleKeepingData(pc, kSettleMs); // a lost connection shows at the next read or write
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

// Sends a one-byte setting when the requested DCB value differs from the cached one, and caches
// it once sent. Returns false when the command could not be sent.
static bool SendIfChanged(PortContext *pc, uint8_t command, uint8_t wireValue, uint8_t requested, uint8_t *cached)
{
    if (requested == *cached)
        return true;
    const uint8_t frame[] = {telnet::IAC, telnet::SB, telnet::COM_PORT_OPTION, command, wireValue,
                             telnet::IAC, telnet::SE};
    if (!SendPortCommand(pc, frame, sizeof frame))
        return false;
    *cached = requested;
    return true;
}

extern "C" KALVICOM_API BOOL KVAPI KvSetCommState(HANDLE handle, const DCB *dcb)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr || dcb == nullptr)
        return 0;

    // Each value is checked before it is compared with the cache, so an invalid value is refused
    // even when it happens to equal the "not set yet" marker.
    const uint32_t rate = dcb->BaudRate;
    if (!IsAcceptedBaudRate(rate))
        return 0;
    if (rate != pc->cachedBaudRate) {
        const uint8_t frame[] = {telnet::IAC,
                                 telnet::SB,
                                 telnet::COM_PORT_OPTION,
                                 telnet::SET_BAUDRATE,
                                 static_cast<uint8_t>(rate >> 24),
                                 static_cast<uint8_t>(rate >> 16),
                                 static_cast<uint8_t>(rate >> 8),
                                 static_cast<uint8_t>(rate),
                                 telnet::IAC,
                                 telnet::SE};
        if (!SendPortCommand(pc, frame, sizeof frame))
            return 0;
        pc->cachedBaudRate = rate;
    }

    if (dcb->ByteSize < 5 || dcb->ByteSize > 8)
        return 0;
    if (!SendIfChanged(pc, telnet::SET_DATASIZE, dcb->ByteSize, dcb->ByteSize, &pc->cachedByteSize))
        return 0;

    const uint8_t parity = ParityValue(dcb->Parity);
    if (parity == 0 || !SendIfChanged(pc, telnet::SET_PARITY, parity, dcb->Parity, &pc->cachedParity))
        return 0;

    const uint8_t stopBits = StopBitsValue(dcb->StopBits);
    if (stopBits == 0 || !SendIfChanged(pc, telnet::SET_STOPSIZE, stopBits, dcb->StopBits, &pc->cachedStopBits))
        return 0;
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
