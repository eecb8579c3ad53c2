// KvCreateFile and KvCloseHandle: the first and last calls on a port.
#include <cstdlib>

#include "kalvicom.h"
#include "port/address.h"
#include "port/handle.h"
#include "telnet/protocol.h"

// Binary transmission both ways, and the COM-PORT-OPTION both ways: a client says WILL for it
// (RFC 2217), and some device servers honour the line settings only after hearing that, while
// others take them once either side has the option on, which the DO gives.
static const uint8_t kNegotiation[] = {telnet::IAC, telnet::DO,   telnet::TRANSMIT_BINARY,
                                       telnet::IAC, telnet::WILL, telnet::TRANSMIT_BINARY,
                                       telnet::IAC, telnet::DO,   telnet::COM_PORT_OPTION,
                                       telnet::IAC, telnet::WILL, telnet::COM_PORT_OPTION};

// How much decoded data the flush of the server's first answers may swallow.
constexpr uint32_t kOpenScratch = 256;

// Releases what an open took, in reverse order: the wait event, the socket (if one was made), the
// record.
static void ReleasePort(PortContext *pc)
{
    NetCloseWaitEvent(pc->inbound.waitEvent);
    if (pc->sock != kInvalidSocket)
        NetClose(pc->sock);
    std::free(pc);
}

extern "C" KALVICOM_API HANDLE KVAPI KvCreateFile(const char *address)
{
    uint8_t host[4];
    uint32_t port;
    if (address == nullptr || !ParseAddress(address, host, &port))
        return INVALID_HANDLE_VALUE;

    // Zero is the state after open of every member but these (the line-setting cache's zero
    // values mean "nothing sent yet" too, and kNetNoEvent is zero).
    PortContext *pc = static_cast<PortContext *>(std::calloc(1, sizeof(PortContext)));
    if (pc == nullptr)
        return INVALID_HANDLE_VALUE;
    pc->port = port;
    pc->readTotalTimeoutConstant = 10;
    pc->cachedParity = kUnsetParity;
    pc->cachedStopBits = kUnsetStopBits;
    pc->inbound.lastLook = NetCoarseTicks();
    pc->sock = NetOpenSocket();
    if (pc->sock == kInvalidSocket || !NetConnect(pc->sock, host, static_cast<uint16_t>(port))) {
        ReleasePort(pc);
        return INVALID_HANDLE_VALUE;
    }
    pc->inbound.waitEvent = NetOpenWaitEvent();
    NetSetNoDelay(pc->sock);
    NetSend(pc->sock, kNegotiation, sizeof kNegotiation); // a failed send shows in the settle

    // A server that turns the session away (a port held by another client, a client limit)
    // answers with a closed or reset connection, often after a line of text: the open fails
    // rather than hand out a port that is already dead.
    uint8_t scratch[kOpenScratch];
    uint32_t flushed;
    if (!SettleWait(pc->sock, &pc->inbound, scratch, kOpenScratch, &flushed, kSettleMs)) {
        ReleasePort(pc);
        return INVALID_HANDLE_VALUE;
    }
    return pc;
}

// Ends the connection without losing what was written. Closing a socket while received bytes are
// unread, or while more are still to come, makes the system reset the connection, which throws
// away written data still queued for the server and makes servers drop what they had not passed
// on to the device yet. So the sending side ends first (a FIN behind the data), and what arrives
// is read and dropped until the server has acknowledged everything written and, if it talked
// meanwhile, has ended its own side too (at most kNetCloseLingerMs more). On a slow link that
// takes as long as the queued data needs: the close waits for as long as acknowledgements keep
// coming, and ends after kNetUnansweredMs without any, or once the server has vanished. Where the
// system does not tell what is unacknowledged, the server's own close shows that it has it all,
// and the close waits for it at most kNetCloseLingerMs.
static void CloseLingering(PortContext *pc)
{
    NetEndSending(pc->sock);
    int32_t unacknowledged = NetUnacknowledged(pc->sock); // -1: wait for the server's FIN instead
    uint32_t progress = NetTicks();                       // when less was last left unacknowledged
    uint32_t step = 1;    // while waiting for acknowledgements, look again after 1, 2, 4 ... 32 ms
    bool talking = false; // the server sent something: wait for its close
    bool ended = false;   // the server has closed its side: only acknowledgements are left
    for (;;) {
        const bool delivered = unacknowledged == 0;
        if (delivered && (ended || !talking))
            break;
        const uint32_t left =
            NetTimeLeft(progress, delivered || unacknowledged < 0 ? kNetCloseLingerMs : kNetUnansweredMs);
        if (left == 0)
            break;
        const uint32_t wait = delivered || unacknowledged < 0 || step > left ? left : step;
        if (ended) {
            NetSleep(wait); // the socket stays readable now: the FIN is always there to be read
        } else {
            Inbound *in = &pc->inbound;
            const int32_t got = NetReceive(pc->sock, in->rxBuffer, kBufferSize, wait, &in->lastLook, in->waitEvent);
            if (got == -1 || (got == 0 && unacknowledged < 0))
                break; // the connection is gone, or the server has it all and has closed
            talking = talking || got > 0;
            ended = got == 0;
        }
        if (step < 32)
            step *= 2;
        const int32_t now = NetUnacknowledged(pc->sock);
        if (now >= 0 && now < unacknowledged)
            progress = NetTicks();
        unacknowledged = now;
    }
}

extern "C" KALVICOM_API BOOL KVAPI KvCloseHandle(HANDLE handle)
{
    PortContext *pc = PortFromHandle(handle);
    if (pc == nullptr)
        return 1;
    CloseLingering(pc);
    ReleasePort(pc);
    return 1;
}
