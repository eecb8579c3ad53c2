// KvCreateFile and KvCloseHandle: the first and last calls on a port.
#include <cstdlib>

#include "kalvicom.h"
#include "port/address.h"
#include "port/handle.h"
#include "telnet/protocol.h"
#include "telnet/receiver.h"

// Binary transmission both ways, and the COM-PORT-OPTION from the server.
static const uint8_t kNegotiation[] = {IAC, DO, TRANSMIT_BINARY, IAC, WILL, TRANSMIT_BINARY, IAC, DO, COM_PORT_OPTION};

// How much decoded data the flush of the server's first answers may swallow.
constexpr uint32_t kOpenScratch = 256;

void ResetPortContext(PortContext *pc)
{
    pc->readIntervalTimeout = 0;
    pc->readTotalTimeoutMultiplier = 0;
    pc->readTotalTimeoutConstant = 10;
    pc->inSubnegotiation = 0;
    pc->skipOptionByte = 0;
    pc->iacSeen = 0;
    pc->cachedBaudRate = kUnsetBaudRate;
    pc->cachedByteSize = kUnsetByteSize;
    pc->cachedParity = kUnsetParity;
    pc->cachedStopBits = kUnsetStopBits;
    pc->txCount = 0;
    pc->rxPending = 0;
}

extern "C" KALVICOM_API HANDLE KVAPI KvCreateFile(const char *address)
{
    uint8_t host[4];
    uint32_t port;
    if (address == nullptr || !ParseAddress(address, host, &port))
        return INVALID_HANDLE_VALUE;

    PortContext *pc = static_cast<PortContext *>(std::malloc(sizeof(PortContext)));
    if (pc == nullptr)
        return INVALID_HANDLE_VALUE;
    ResetPortContext(pc);
    pc->port = port;
    pc->sock = NetOpenSocket();
    if (pc->sock == kInvalidSocket) {
        std::free(pc);
        return INVALID_HANDLE_VALUE;
    }
    if (!NetConnect(pc->sock, host, static_cast<uint16_t>(port))) {
        NetClose(pc->sock);
        std::free(pc);
        return INVALID_HANDLE_VALUE;
    }
    NetSetNoDelay(pc->sock);
    NetSend(pc->sock, kNegotiation, sizeof kNegotiation); // a broken connection shows at first use

    uint8_t scratch[kOpenScratch];
    uint32_t flushed;
    SettleWait(pc, scratch, kOpenScratch, &flushed, kSettleMs);
    return pc;
}

// Closing a socket with received bytes still unread makes the system reset the connection, which
// throws away written data still queued for the server. Read and drop what has already arrived
// (bounded, so a server that never stops sending cannot hold the close).
static void DropUnread(PortContext *pc)
{
    for (int i = 0; i < 256 && NetWaitReadable(pc->sock, 0) == kNetReadable; ++i)
        if (NetReceive(pc->sock, pc->rxBuffer, kBufferSize) <= 0)
            break;
}

extern "C" KALVICOM_API BOOL KVAPI KvCloseHandle(HANDLE handle)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr)
        return 1;
    DropUnread(pc);
    NetClose(pc->sock);
    std::free(pc);
    return 1;
}
