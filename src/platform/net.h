// The few operating-system services the rest of the library needs: a TCP socket, readiness
// waits, sends and receives and a millisecond tick counter. One file per platform implements them
// (net_posix.cpp, net_win32.cpp), apart from the sends and receives that wait, which are built
// once on the platform's calls (waits.cpp); nothing outside this folder knows which platform is
// compiled.
#ifndef KALVICOM_PLATFORM_NET_H
#define KALVICOM_PLATFORM_NET_H

#include <cstdint>

// Wide enough for a POSIX descriptor and a Winsock SOCKET alike.
typedef intptr_t NetSocket;
constexpr NetSocket kInvalidSocket = -1;

// How a connection whose server has vanished (power lost, cable pulled, packets dropped by a
// firewall, no FIN and no reset) is noticed. The system's keep-alive probes an idle connection;
// long waits wake every kNetLookAgainMs to ask the system whether the server still answers (see
// NetPeerGone). A server that is alive but has stopped reading (flow control on its serial side) is
// not taken for a vanished one, however long it pauses; nor is a live one behind a link that loses,
// delays or holds up packets for a while (cellular, satellite, congested radio links): a live link
// fails k exchanges in a row with a chance of q^k, so each rule asks for several in a row and for a
// minute of silence besides.
constexpr uint32_t kNetKeepAliveIdleSeconds = 10;    // quiet time before the first probe
constexpr uint32_t kNetKeepAliveIntervalSeconds = 5; // between unanswered probes
// Unanswered keep-alive probes after which the system ends an idle connection (10 s + 10 x 5 s):
// at 10 % loss each way a probe exchange fails 19 % of the time, ten in a row once in 10^7.
constexpr uint32_t kNetKeepAliveProbes = 10;
constexpr uint32_t kNetLookAgainMs = 2000;
// Nothing at all heard from the server (no acknowledgement, no answer to a probe) for this long is
// the first condition for judging it gone; one of the two below is the second.
constexpr uint32_t kNetUnansweredMs = 60000;
// Sent data unacknowledged through this many retransmission time-outs in a row, each waited out
// in full: the limit grows with the link's round trip and TCP's own back-off.
constexpr uint32_t kNetUnansweredTimeouts = 4;
// Window or keep-alive probes unanswered in a row (each but the last has had its full interval,
// at least one retransmission time-out, to be answered).
constexpr uint32_t kNetUnansweredProbes = 5;
// The longest retransmission time-out, and so the longest gap between window probes, asked of the
// system where it takes it (Linux 6.15 and later; others keep 120 s). The lowest value TCP allows.
constexpr uint32_t kNetLongestBackoffMs = 60000;
// How long a close waits, once everything written is acknowledged, for a server that talked during
// the close to close its side.
constexpr uint32_t kNetCloseLingerMs = 2000;

// A wait limit meaning "no limit".
constexpr uint32_t kNetWaitForever = 0xFFFFFFFFu;
// The longest finite wait handed to the system in one piece, in milliseconds (fits poll()'s int
// and keeps deadline arithmetic on the 32-bit tick counter unambiguous).
constexpr uint32_t kNetLongestWait = 0x7FFFFFFFu;

// Creates an IPv4 TCP stream socket (close-on-exec) with keep-alive on the timing above and urgent
// data kept in the stream (a Telnet Synch's DM must not be taken out of it). Returns
// kInvalidSocket on failure.
NetSocket NetOpenSocket();

// Connects to address[0].address[1].address[2].address[3]:port, waiting for as long as the
// system's own connect time-out allows. Returns true on success; the socket is non-blocking from
// then on (POSIX: from its creation), so every receive and send below waits only where its caller
// asks for a wait.
bool NetConnect(NetSocket sock, const uint8_t address[4], uint16_t port);

// Switches off send coalescing. Errors are ignored.
void NetSetNoDelay(NetSocket sock);

// What NetTrySend and NetTryReceive return when the call would have to wait, and NetReceive when
// nothing arrived in the time it was given.
constexpr int32_t kNetWouldBlock = -2;
constexpr int32_t kNetTimedOut = -2;

// The two calls the waits below are built on, one per platform file. Neither ever blocks; an
// interrupted call is restarted, and a send never raises SIGPIPE. NetTrySend returns the number
// of bytes accepted, NetTryReceive the number received or 0 when the server closed its side; both
// return -1 on error and kNetWouldBlock when nothing could be done at once.
int32_t NetTrySend(NetSocket sock, const void *data, uint32_t length);
int32_t NetTryReceive(NetSocket sock, void *buffer, uint32_t length);

// Waits up to ms milliseconds (at most kNetLookAgainMs is ever asked) until sock is readable, or
// with forSending until it has room to send. Returns 1 ready (an error or a closed connection
// counts as ready: the next call reports it), 0 quiet (an interrupted wait included), -1 failed.
int NetWaitReady(NetSocket sock, bool forSending, uint32_t ms);

// The event object a connection's waits for data block on, made by the open and released by the
// close: kNetNoEvent where the platform needs none (POSIX: a wait is a poll() and then a receive),
// or where none could be made (then the same). Windows blocks in an overlapped receive on it,
// which costs what a plain blocking receive costs, where a select() before the receive costs a
// call more.
constexpr intptr_t kNetNoEvent = 0;
intptr_t NetOpenWaitEvent();
void NetCloseWaitEvent(intptr_t event);

// With an event from NetOpenWaitEvent: waits up to ms milliseconds (at most kNetLookAgainMs is
// ever asked) for data and receives up to length bytes of it. Returns the number received, 0 when
// the server closed its side, -1 on error, or kNetTimedOut when nothing arrived.
int32_t NetReceiveOnEvent(NetSocket sock, void *buffer, uint32_t length, uint32_t ms, intptr_t event);

// One send of up to length bytes. Returns the number accepted, or -1 on error. A send that finds
// the window full waits for room in slices of kNetLookAgainMs and fails (ending the connection)
// once NetPeerGone says the server has vanished.
int32_t NetSend(NetSocket sock, const void *data, uint32_t length);

// One receive of up to length bytes, waiting at most ms (more than 0; a poll is a NetTryReceive)
// for something to arrive: kNetWaitForever waits without limit, other values are at most
// kNetLongestWait. The wait comes first (a caller that expects bytes to be waiting already tries
// NetTryReceive first). Returns the number received, 0 when the server closed the connection, -1
// on error, or kNetTimedOut. An interrupted wait goes on with the time that is left. A wait that
// stays quiet is followed by NetAbandonIfGone, with lastLook; a vanished server ends the
// connection, and the receive fails. event is the connection's wait event (NetOpenWaitEvent).
int32_t NetReceive(NetSocket sock, void *buffer, uint32_t length, uint32_t ms, uint32_t *lastLook, intptr_t event);

// Asks whether the server has vanished (NetPeerGone) and, if so, ends the connection (NetAbandon);
// returns whether it did. With lastLook (the NetCoarseTicks of the connection's last look, updated
// here), only when wholeSlice says a whole kNetLookAgainMs has just been waited out quietly or the
// last look is that old: a caller that polls in a tight loop pays for the look once per interval.
bool NetAbandonIfGone(NetSocket sock, bool wholeSlice, uint32_t *lastLook);

// Whether the system shows that the server has vanished: nothing heard from it for
// kNetUnansweredMs, and either sent data retransmitted through kNetUnansweredTimeouts time-outs in
// a row or kNetUnansweredProbes window or keep-alive probes unanswered. Judged from what the system
// shows at the moment of the call, so a look now and then (every kNetLookAgainMs) is as good as
// many. False where the platform cannot tell.
bool NetPeerGone(NetSocket sock);

// Ends a connection judged dead: every later wait, receive and send on it fails at once, and the
// server is sent a reset (now, or by the close that follows) instead of a lingering close.
void NetAbandon(NetSocket sock);

// Ends the sending direction (a FIN after everything queued).
void NetEndSending(NetSocket sock);

// Bytes written that the server has not acknowledged yet (queued ones included; 0 once the
// connection has ended or been abandoned and can deliver nothing more), or -1 where the platform
// cannot tell.
int32_t NetUnacknowledged(NetSocket sock);

// Shuts the connection down in both directions and closes the socket. Errors are ignored.
void NetClose(NetSocket sock);

// Milliseconds on a monotonic clock, wrapping at 2^32. Compare as (now - start), unsigned.
uint32_t NetTicks();

// Milliseconds on a monotonic clock that is cheaper to read than NetTicks and may lag it by a few
// milliseconds: for deciding how long ago something was, never for a deadline.
uint32_t NetCoarseTicks();

// Milliseconds left of a limit that began at start (a NetTicks value); 0 once it has passed. Safe
// across the counter's wrap for limits up to 2^31 ms.
inline uint32_t NetTimeLeft(uint32_t start, uint32_t limit)
{
    const uint32_t elapsed = NetTicks() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

// Blocks the calling thread for ms milliseconds.
void NetSleep(uint32_t ms);

#endif
