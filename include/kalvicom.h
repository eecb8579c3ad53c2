/* SPDX-License-Identifier: MIT */
/*
 * kalvicom - drive a serial port on a network serial device server as if it were local.
 *
 * Overview
 * --------
 * Each open port is one TCP connection to a device server speaking Telnet with binary
 * transmission and the COM-PORT-OPTION (RFC 854, RFC 856, RFC 2217). The nine functions below are
 * named after the platform's serial-port calls with the prefix "Kv" and take the same leading
 * arguments, so code written for a local port moves over with little change:
 *
 *     HANDLE port = KvCreateFile("127.0.0.1:2217");          // instead of CreateFile("COM1", ...)
 *     if (port == INVALID_HANDLE_VALUE) { ... }
 *     DCB dcb = {0};
 *     dcb.BaudRate = 9600; dcb.ByteSize = 8; dcb.Parity = NOPARITY; dcb.StopBits = ONESTOPBIT;
 *     if (!KvSetCommState(port, &dcb)) { ... }
 *     COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 2000, 0, 0};     // wait up to 2 s for an answer
 *     KvSetCommTimeouts(port, &t);                            // (the default waits only 10 ms)
 *     DWORD n;
 *     if (!KvWriteFile(port, "ID?\r", 4, &n)) { ... }
 *     char answer[64];
 *     if (!KvReadFile(port, answer, sizeof answer, &n)) { ... }   // n may be 0: nothing came
 *     KvCloseHandle(port);
 *
 * Results
 * -------
 * KvCreateFile returns a handle, or INVALID_HANDLE_VALUE on failure. Every other call returns
 * 1 (TRUE) on success and 0 (FALSE) on failure. Nothing else is reported: there are no error codes
 * to query afterwards and the library never logs. Given a null pointer, a null handle or
 * INVALID_HANDLE_VALUE, a call returns 0 before touching anything (KvCreateFile returns
 * INVALID_HANDLE_VALUE; KvCloseHandle, KvSetCommConfig and KvSetupComm return 1 instead). Any
 * other handle must come from a successful KvCreateFile and not have been closed: a closed or
 * made-up handle is not detected.
 *
 * Threads and blocking
 * --------------------
 * The library has no threads, timers or locks of its own. Every call runs on the caller's thread.
 * These calls block:
 *   KvCreateFile    in the connect, then 10 to about 20 ms while the server's first answers settle
 *   KvReadFile      as the port's read time-outs say (see KvReadFile)
 *   KvWriteFile     while the system's send buffer is full (the device server is not reading)
 *   KvSetCommState  10 to about 20 ms for each setting that changed
 *   KvCloseHandle   until what was written has reached the server, within a bound (see there)
 * The others return at once. Different ports are independent and may be used from different
 * threads at the same time. One port must not be used by two threads at once, with one exception:
 * one thread may call KvWriteFile while another calls KvReadFile. KvSetCommState both sends and
 * receives, so it must not overlap any other call on the same port.
 *
 * Differences from a local port
 * -----------------------------
 * - Writes have no time-out (the two Write members of COMMTIMEOUTS are ignored). A write returns
 *   once all its data has been handed to the connection, which is before the device has sent it
 *   out on its serial line; it blocks for as long as the device server stops taking data.
 * - ReadIntervalTimeout only selects the read mode: the gap between two bytes is never timed.
 * - Only baud rate, data size, parity and stop bits can be set. Flow control, DTR/RTS and the other
 *   DCB members are not sent to the device server.
 * - Each changed line setting costs one command to the device server and a settle of 10 to about
 *   20 ms; serial data arriving meanwhile is kept for the next read. The server's answer is not
 *   awaited: success means the command was sent, not that the device server applied it.
 * - Serial data arriving within the first 10 to about 20 ms after the connection is made may be
 *   dropped (at most 256 bytes): the open flushes whatever the server sends first, so a device
 *   that talks first should be asked again.
 * - Once the connection is lost, reads and writes fail until the port is closed and opened again;
 *   nothing reconnects on its own. The first write after the server closes may still succeed:
 *   the system learns of the close only when the server answers that write with a reset.
 * - A server that vanishes without a word (power lost, cable pulled, a firewall dropping the
 *   connection) counts as lost after about a minute without any answer from it: idle ports are
 *   probed with TCP keep-alive (every 10 s of quiet, then 10 probes 5 s apart), and a call that
 *   waits looks every 2 s whether what it sent is still unanswered. Measured: 56-61 s in every
 *   call, on a clean link as over 300 ms with 10 % loss or 64 kbit/s (a request in flight over
 *   the lossy link up to 76 s). A live server behind a bad
 *   link (long round trips, loss, outages of seconds, bursts of loss, a slow link) is not taken
 *   for a vanished one. A server that is alive but has stopped taking data (its serial side held
 *   by flow control) is not lost either: a write to it waits as long as the pause lasts. If the
 *   server vanishes during such a long pause, noticing takes up to about 5 minutes (the system's
 *   window probes are then a minute apart; about 10 minutes before Linux 6.15, which keeps them
 *   up to two minutes apart). On Windows, where the system cannot tell those two apart, the pause
 *   is kept alive and the system ends a connection whose data goes unacknowledged for a minute.
 * - What no library call can mend: a NAT that forgets idle flows keeps an idle port (keep-alive
 *   every 10 s of quiet holds its entry), but a write paused for several minutes can outlast its
 *   memory, and the port is lost when the device resumes. A path that drops large packets without
 *   telling (an MTU black hole) lets a write return 1 while nothing arrives; the system setting
 *   net.ipv4.tcp_mtu_probing=1 cures it on Linux. After the system has ended an idle port's
 *   connection, the first read may still return 1 with 0 bytes (it takes the server's last control
 *   bytes); the next one fails.
 *
 * Types
 * -----
 * On Windows the header takes HANDLE, DWORD, BOOL, DCB, COMMTIMEOUTS and COMMCONFIG from
 * <windows.h> (a program that also uses Winsock includes <winsock2.h> before this header).
 * Elsewhere it defines them itself with the same member names, order and widths
 * (DWORD is 32 bits everywhere).
 *
 * Every type and constant also has a name of the library's own, which is all a program sees when
 * it defines KALVICOM_NO_WIN32_TYPES before including this header: kv_handle, kv_dword, kv_bool,
 * kv_byte, kv_word, kv_dcb, kv_commtimeouts and kv_commconfig_ptr, and KV_INVALID_HANDLE_VALUE,
 * KV_MAXDWORD, KV_NOPARITY ... KV_SPACEPARITY, KV_ONESTOPBIT ... KV_TWOSTOPBITS. They are the same
 * types with the same layout, so both spellings may be mixed. Outside Windows the Windows names are
 * then left undefined, for programs whose other headers define them differently: X11's <X11/Xmd.h>
 * and Objective-C both have a one-byte BOOL. On Windows the define changes nothing.
 *
 *     #define KALVICOM_NO_WIN32_TYPES
 *     #include "kalvicom.h"
 *     kv_handle port = KvCreateFile("127.0.0.1:2217");
 *     kv_dcb dcb = {0};
 *     dcb.BaudRate = 9600; dcb.ByteSize = 8;
 *     dcb.Parity = KV_NOPARITY; dcb.StopBits = KV_ONESTOPBIT;
 */
#ifndef KALVICOM_H
#define KALVICOM_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#define KVAPI WINAPI
typedef HANDLE kv_handle;
typedef DWORD kv_dword;
typedef BOOL kv_bool;
typedef BYTE kv_byte;
typedef WORD kv_word;
typedef DCB kv_dcb;
typedef COMMTIMEOUTS kv_commtimeouts;
typedef LPCOMMCONFIG kv_commconfig_ptr;
#else
#define KVAPI

typedef void *kv_handle;
typedef uint32_t kv_dword;
typedef int32_t kv_bool;
typedef uint8_t kv_byte;
typedef uint16_t kv_word;

/* The line-settings record, laid out exactly as the Windows one (28 bytes). kalvicom reads and
 * writes only BaudRate, ByteSize, Parity and StopBits; every other member is left alone. */
typedef struct kv_dcb {
    kv_dword DCBlength;
    kv_dword BaudRate;
    kv_dword fBinary : 1;
    kv_dword fParity : 1;
    kv_dword fOutxCtsFlow : 1;
    kv_dword fOutxDsrFlow : 1;
    kv_dword fDtrControl : 2;
    kv_dword fDsrSensitivity : 1;
    kv_dword fTXContinueOnXoff : 1;
    kv_dword fOutX : 1;
    kv_dword fInX : 1;
    kv_dword fErrorChar : 1;
    kv_dword fNull : 1;
    kv_dword fRtsControl : 2;
    kv_dword fAbortOnError : 1;
    kv_dword fDummy2 : 17;
    kv_word wReserved;
    kv_word XonLim;
    kv_word XoffLim;
    kv_byte ByteSize;
    kv_byte Parity;
    kv_byte StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    kv_word wReserved1;
} kv_dcb;

/* The time-out record, laid out exactly as the Windows one (five DWORDs). Only the three Read
 * members are used; writes are never timed. */
typedef struct kv_commtimeouts {
    kv_dword ReadIntervalTimeout;
    kv_dword ReadTotalTimeoutMultiplier;
    kv_dword ReadTotalTimeoutConstant;
    kv_dword WriteTotalTimeoutMultiplier;
    kv_dword WriteTotalTimeoutConstant;
} kv_commtimeouts;

/* There is no COMMCONFIG outside Windows; KvSetCommConfig takes a plain pointer there. */
typedef void *kv_commconfig_ptr;

#ifndef KALVICOM_NO_WIN32_TYPES
typedef kv_handle HANDLE;
typedef kv_dword DWORD;
typedef kv_bool BOOL;
typedef kv_byte BYTE;
typedef kv_word WORD;
typedef kv_dcb DCB, *LPDCB;
typedef kv_commtimeouts COMMTIMEOUTS, *LPCOMMTIMEOUTS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE KV_INVALID_HANDLE_VALUE
#define MAXDWORD KV_MAXDWORD
#define NOPARITY KV_NOPARITY
#define ODDPARITY KV_ODDPARITY
#define EVENPARITY KV_EVENPARITY
#define MARKPARITY KV_MARKPARITY
#define SPACEPARITY KV_SPACEPARITY
#define ONESTOPBIT KV_ONESTOPBIT
#define ONE5STOPBITS KV_ONE5STOPBITS
#define TWOSTOPBITS KV_TWOSTOPBITS
#endif
#endif

/* The name kv_commconfig_ptr had up to version 0.2.0, kept for programs that use it. */
typedef kv_commconfig_ptr KV_COMMCONFIG_PTR;

/* The same values as the Windows constants of the same names without KV_. */
#define KV_INVALID_HANDLE_VALUE ((kv_handle)(intptr_t)-1)
#define KV_MAXDWORD 0xffffffffu

/* Parity values of DCB.Parity */
#define KV_NOPARITY 0
#define KV_ODDPARITY 1
#define KV_EVENPARITY 2
#define KV_MARKPARITY 3
#define KV_SPACEPARITY 4

/* Stop-bit values of DCB.StopBits */
#define KV_ONESTOPBIT 0
#define KV_ONE5STOPBITS 1
#define KV_TWOSTOPBITS 2

#if defined(KALVICOM_BUILDING)
#if defined(_WIN32)
#define KALVICOM_API
#else
#define KALVICOM_API __attribute__((visibility("default")))
#endif
#else
#define KALVICOM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * KvCreateFile - open a port on a device server.
 *
 * address: "A.B.C.D:PORT", a dotted IPv4 address and a TCP port, for example "127.0.0.1:2217".
 *   Each number may have blanks and one '+' before it; separators must follow the digits
 *   directly; text after the port number is ignored. Host names are not accepted. Every address
 *   number must be 0 to 255 and the port 0 to 65535, or the open fails without connecting.
 *
 * Connects over TCP (blocking, for up to the system's connect time-out: about two minutes on Linux
 * when nothing answers at the address), asks the server for binary transmission both ways
 * and for the COM-PORT-OPTION both ways (the client's WILL and a DO, in one send; see docs/api.md),
 * then lets the server's first answers settle for 10 to about 20 ms.
 * The new port reads with the time-outs 0, 0, 10 (a read gives up after 10 ms; see KvReadFile) and
 * has sent no line settings yet, so the device server's port runs as it was configured until
 * KvSetCommState is called.
 *
 * Returns the port's handle, or INVALID_HANDLE_VALUE when the address is null or malformed, the
 * connection is refused or unreachable, the server ends the connection while the open settles (a
 * busy server: its port held by another client, or its client limit reached), or memory runs out.
 * A failed open leaves nothing behind.
 */
KALVICOM_API kv_handle KVAPI KvCreateFile(const char *address);

/*
 * KvCloseHandle - close a port: shuts the connection down and releases the port.
 *
 * Every byte a successful KvWriteFile handed over reaches the server: the close ends the sending
 * side first, drops whatever the device still sends, waits until the server has acknowledged
 * everything written and then, if it sent anything meanwhile, until it has ended its own side
 * (device servers do at once; on Windows, which does not tell what is acknowledged, the server's
 * close is all it waits for, at most 2 s, so a slow link may still lose the end of what was
 * written there). That takes about one round trip, or on a slow link about as long as
 * the written data still needs on it (64 KiB: about 3 s over 300 ms with 10 % loss, about 20 s
 * over 64 kbit/s): the close waits for as long as acknowledgements keep coming. It gives up after
 * a minute with nothing more acknowledged (a server that has stopped reading holds it that long),
 * at once when the server has vanished, and 2 s after everything was acknowledged against a server
 * that keeps sending and never closes. Bytes the device sent that were never read are dropped.
 *
 * Always returns 1. A null handle or INVALID_HANDLE_VALUE is accepted and does nothing, so the
 * result of a failed open may be closed. After this call the handle must not be used again.
 */
KALVICOM_API kv_bool KVAPI KvCloseHandle(kv_handle port);

/*
 * KvReadFile - read serial data from the device.
 *
 * buffer receives up to count bytes; *bytesRead receives the number delivered. How long the call
 * waits depends on the port's time-outs (KvSetCommTimeouts), chosen at the start of each read:
 *
 *   Interval  Multiplier  Constant       Mode
 *   0         0           0              unbounded: waits until exactly count bytes arrived
 *   MAXDWORD  0           0              immediate: returns at once with what is already there
 *   MAXDWORD  MAXDWORD    1..MAXDWORD-1  first byte: returns as soon as any data arrived, or
 *                                        after Constant ms with none
 *   any other combination                total: returns when count bytes arrived or after
 *                                        count * Multiplier + Constant ms, whichever is first
 *
 * The rows are tried from the top; the first that matches wins. The interval never times the gap
 * between bytes; it only takes part in choosing the mode. "What is already there" means data
 * received earlier but not yet read or, when there is none, what one look at the connection finds.
 * MAXDWORD, MAXDWORD, 0 is not a poll but a total mode of count * MAXDWORD ms (held at about 24.8
 * days, the longest wait the library hands to the system). Telnet control
 * traffic from the server is removed and never ends a wait on its own.
 *
 * Typical choices: MAXDWORD, MAXDWORD, N to wait up to N ms for an answer and take what has come;
 * MAXDWORD, 0, 0 to poll; 0, 0, N to wait N ms for count bytes; 0, 0, 0 only when the device is
 * sure to send count bytes (nothing else ends that wait but a lost connection).
 *
 * Returns 1 on success, including a time-out with fewer than count bytes (or none). Returns 0
 * when the connection is closed or fails: *bytesRead is then 0, and any bytes placed in buffer by
 * this call are lost. count 0 returns 1 at once. With a null handle, buffer or bytesRead the call
 * returns 0 and touches nothing.
 */
KALVICOM_API kv_bool KVAPI KvReadFile(kv_handle port, void *buffer, kv_dword count, kv_dword *bytesRead);

/*
 * KvWriteFile - write serial data to the device.
 *
 * Sends count bytes from data exactly as given (every byte value, CR, LF and NUL included; the
 * Telnet escaping of 0xFF is done here). Returns once all of it has been handed to the
 * connection; while the device server takes no data the call waits, for as long as that lasts:
 * there is no write time-out against a server that is alive but does not read. A server that
 * vanishes meanwhile ends the wait with a failure (see the notes at the top).
 *
 * Returns 1 with *bytesWritten = count when everything was handed over (count 0 sends nothing and
 * returns 1). Returns 0 with *bytesWritten = 0 when the connection fails or stops taking data part way
 * (part of the data may have gone out). With a null handle, data or bytesWritten the call returns
 * 0 and touches nothing.
 */
KALVICOM_API kv_bool KVAPI KvWriteFile(kv_handle port, const void *data, kv_dword count, kv_dword *bytesWritten);

/*
 * KvSetCommTimeouts - set the read time-outs (see KvReadFile for what they select).
 *
 * Copies ReadIntervalTimeout, ReadTotalTimeoutMultiplier and ReadTotalTimeoutConstant, which
 * apply from the next KvReadFile on; the two write members are ignored. Sends nothing. Returns 1,
 * or 0 with nothing changed when the handle or timeouts is null.
 */
KALVICOM_API kv_bool KVAPI KvSetCommTimeouts(kv_handle port, const kv_commtimeouts *timeouts);

/*
 * KvSetCommState - set baud rate, data size, parity and stop bits on the device server's port.
 *
 * Uses only BaudRate, ByteSize, Parity and StopBits, and sends a setting only when it differs from
 * the one last sent on this port, in the order baud rate, data size, parity, stop bits. Each sent
 * setting is followed by a settle of 10 to about 20 ms, so changing all four takes about 40 to
 * 80 ms and changing none returns at once.
 *
 * Accepted: BaudRate 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200,
 * 38400, 57600, 115200; ByteSize 5 to 8; Parity NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
 * SPACEPARITY; StopBits ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS.
 *
 * All four members are checked, changed or not, so fill in all four: a record cleared to zero in
 * which only BaudRate was set is refused at its ByteSize of 0 (after the baud rate went out).
 *
 * Returns 1 when every changed setting was sent. Returns 0 at the first value that is not
 * accepted or the first command that could not be sent: settings before it stay sent (and are
 * reported by KvGetCommState), later ones are not examined. The device server's answers are not
 * awaited or checked. A null handle or dcb returns 0.
 */
KALVICOM_API kv_bool KVAPI KvSetCommState(kv_handle port, const kv_dcb *dcb);

/*
 * KvGetCommState - report the line settings last sent on this port.
 *
 * Writes BaudRate, ByteSize, Parity and StopBits and leaves every other member of *dcb as it was.
 * No network traffic. Before any setting has been sent it reports BaudRate 0, ByteSize 0,
 * Parity 0xFF and StopBits 0xFF, meaning "not set yet" (the device server's port then runs at
 * whatever it was configured with); KvSetCommState refuses these values, so on a fresh port set
 * all four members rather than changing one member of what this call reports. Returns 1, or 0
 * when the handle or dcb is null.
 */
KALVICOM_API kv_bool KVAPI KvGetCommState(kv_handle port, kv_dcb *dcb);

/*
 * KvSetCommConfig - accepted for compatibility; reads none of its arguments, does nothing and
 * returns 1.
 */
KALVICOM_API kv_bool KVAPI KvSetCommConfig(kv_handle port, kv_commconfig_ptr config, kv_dword size);

/*
 * KvSetupComm - accepted for compatibility (the library's buffers are fixed); reads none of its
 * arguments, does nothing and returns 1.
 */
KALVICOM_API kv_bool KVAPI KvSetupComm(kv_handle port, kv_dword inQueue, kv_dword outQueue);

#ifdef __cplusplus
}
#endif

#endif /* KALVICOM_H */
