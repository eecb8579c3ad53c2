// The few socket calls the test helpers use, for POSIX and Winsock alike.
#ifndef KALVICOM_TESTS_TEST_SOCKET_H
#define KALVICOM_TESTS_TEST_SOCKET_H

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET TestSocket;
typedef int TestSockLen;
const TestSocket kTestInvalidSocket = INVALID_SOCKET;
const int kTestShutdownBoth = SD_BOTH;
const int kTestShutdownSend = SD_SEND;
inline void TestSocketStartup()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}
inline void TestCloseSocket(TestSocket s) { closesocket(s); }
inline void TestNoInherit(TestSocket s) { SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }
// Windows binds over the lingering connections of an earlier listener as it is; its SO_REUSEADDR
// would let two listeners share a port.
inline void TestAllowRebind(TestSocket) {}
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int TestSocket;
typedef socklen_t TestSockLen;
const TestSocket kTestInvalidSocket = -1;
const int kTestShutdownBoth = SHUT_RDWR;
const int kTestShutdownSend = SHUT_WR;
inline void TestSocketStartup() {}
inline void TestCloseSocket(TestSocket s) { close(s); }
inline void TestNoInherit(TestSocket s) { fcntl(s, F_SETFD, FD_CLOEXEC); }
inline void TestAllowRebind(TestSocket s)
{
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
#endif
// TestNoInherit keeps a socket out of the programs a test starts (a tmux server that lives on
// would hold a listener open after its server is gone). TestAllowRebind lets a later listener
// take a port while connections accepted on it linger (Linux asks it of both listeners).

// Waits up to ms for a or b (either may be kTestInvalidSocket) to become readable. Returns a
// bit mask: 1 for a, 2 for b.
int TestWaitReadable(TestSocket a, TestSocket b, int ms);
// Sends everything, looping over partial sends. Returns false on error.
bool TestSendAll(TestSocket s, const void *data, size_t length);
// One receive; returns the count, 0 at the peer's close, -1 on error.
int TestReceive(TestSocket s, void *buffer, size_t length);
// Closes with an abortive reset (RST) instead of an orderly close.
void TestResetSocket(TestSocket s);
// How many segments carrying data the connection has received, or -1 where the system does not
// tell (Linux tells).
int TestDataSegmentsIn(TestSocket s);

#endif
