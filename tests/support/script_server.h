// A scripted device server on loopback for the tests: it listens on 127.0.0.1 (or another address
// of the test's own, such as one in a network namespace it made; port 0, so the system picks a
// free one), accepts connections in the background, records every byte it receives
// and sends what the test tells it, when it tells it.
#ifndef KALVICOM_TESTS_SCRIPT_SERVER_H
#define KALVICOM_TESTS_SCRIPT_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// What the server does to its connection at a scripted moment.
enum class ServerAction {
    kNothing, // keep the connection as it is
    kClose,   // orderly close (FIN) in both directions; the socket stays open until replaced
    kDrop,    // close the socket outright: a FIN, and a reset for whatever is unread or arrives later
    kReset,   // abortive close (RST)
};

// How the server takes COM-PORT-OPTION commands (RFC 2217). The lenient server records them and
// nothing more, as the software servers take every command whatever was negotiated. The strict
// ones read the client's Telnet stream as a device server with a serial line does: they answer
// its option negotiation, apply the commands they honour to the line of their device, and
// acknowledge each one applied.
enum class Strictness {
    kLenient,
    kWaitsForWill,      // agrees to DO COM-PORT-OPTION, yet applies commands only after the client's
                        // own WILL COM-PORT-OPTION
    kAgreedOptionsOnly, // refuses DO COM-PORT-OPTION, and takes a subnegotiation only for an option
                        // agreed in one direction or the other
};

// The line of a strict server's device, in COM-PORT-OPTION coding: parity 1 none, 2 odd, 3 even,
// 4 mark, 5 space; stop size 1, 2, or 3 for one and a half. A fresh device runs at 115200 8N1.
struct DeviceLine {
    uint32_t baud;
    uint8_t dataSize;
    uint8_t parity;
    uint8_t stopSize;
};

class ScriptServer {
public:
    // On port 0 the system picks a free port; on a given one (SO_REUSEADDR) a server comes back
    // where an earlier one was, as a device server does after a restart. host is the address
    // listened on, 127.0.0.1 or one in a network namespace of the test's own.
    explicit ScriptServer(uint16_t port = 0, const char *host = "127.0.0.1");
    ~ScriptServer();
    ScriptServer(const ScriptServer &) = delete;
    ScriptServer &operator=(const ScriptServer &) = delete;

    uint16_t Port() const { return port_; }
    std::string Address() const; // "HOST:PORT"

    // Bytes sent the moment a connection is accepted (before anything is received), then the
    // action done (a busy server's line of text, then its close).
    void SendOnAccept(const Bytes &bytes, ServerAction then = ServerAction::kNothing);
    // Before the connection is made: how the server takes COM-PORT-OPTION commands.
    void SetStrictness(Strictness strictness);
    // A strict server's device line, as the honoured commands left it.
    DeviceLine Line();
    // Whether to read from the connection at all; a server that never reads lets the library's
    // sends fill the socket buffers.
    void SetReading(bool reading);
    // Whether to send back everything received, as a device that echoes does.
    void SetEcho(bool echo);

    // Waits until a connection has been accepted. Returns false after timeoutMs without one.
    bool WaitAccepted(int timeoutMs = 5000);
    // Waits until n connections have been accepted in all.
    bool WaitAcceptedCount(int n, int timeoutMs = 5000);
    // Waits until at least n bytes have been received in all. Returns false after timeoutMs.
    bool WaitReceived(size_t n, int timeoutMs = 5000);
    // Waits until the library's side has closed the connection (a receive returned 0 or failed).
    bool WaitPeerClosed(int timeoutMs = 5000);

    int DataSegmentsIn();                                     // on this connection; -1: not known here
    Bytes Received();                                         // everything received so far
    Bytes TakeReceived();                                     // the same, and forget it
    void Send(const Bytes &bytes);                            // sends now, all of it
    void SendUrgent(uint8_t byte);                            // one byte as TCP urgent data
    void SendAfter(int ms, const Bytes &bytes);               // sends from a timer thread
    void Close();                                             // orderly close (FIN)
    void Reset();                                             // abortive close (RST)
    void CloseAfter(int ms);
    void Drop();                                              // ServerAction::kDrop now
    void Act(ServerAction action);                            // any action, now
    void ActAfter(int ms, ServerAction action);               // from a timer thread
    // Sends bytes one per send call, gapMs apart, from a timer thread: the library sees them in
    // as many pieces as the network keeps apart.
    void SendBytewise(const Bytes &bytes, int gapMs = 1);
    // Once the current connection has received `total` bytes in all (the negotiation counts),
    // the server thread sends reply and then does action. One trigger at a time.
    void When(size_t total, const Bytes &reply, ServerAction action);
    // Waits until the trigger set by When has fired (its reply sent, its action done).
    bool WaitTriggered(int timeoutMs = 5000);
    // Sends unit over and over from a thread until StopFlood, a failed send (the library closed
    // the port), or the end of the server. StopFlood returns at once; the flood thread finishes
    // the block it is sending and then sends tail, so tail follows whole units. One flood per
    // connection; no Reset or Drop while it runs.
    void StartFlood(const Bytes &unit);
    void StopFlood(const Bytes &tail = Bytes());
    int Accepted() const { return accepted_.load(); }         // connections accepted so far

private:
    void Run();
    void ApplyAction(ServerAction action); // on the server thread, with mutex_ held
    // A strict server reads what arrived as Telnet and adds its answers to reply; with mutex_ held.
    void Interpret(const uint8_t *bytes, size_t n, Bytes *reply);
    void Negotiate(uint8_t verb, uint8_t option, Bytes *reply);
    void Subnegotiation(Bytes *reply);

    intptr_t listener_;
    intptr_t conn_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::string host_;
    std::atomic<bool> reading_{true};
    std::atomic<bool> echo_{false};
    std::atomic<int> requested_{0}; // a ServerAction for the server thread to carry out
    size_t receivedTotal_ = 0;      // on the current connection, for When()
    size_t triggerAt_ = 0;
    bool triggerArmed_ = false;
    bool triggerRunning_ = false;
    Bytes triggerReply_;
    ServerAction triggerAction_ = ServerAction::kNothing;
    std::atomic<bool> flooding_{false};
    Bytes floodTail_;
    std::thread flood_;
    std::atomic<int> accepted_{0};
    bool peerClosed_ = false;
    Bytes onAccept_;
    ServerAction onAcceptAction_ = ServerAction::kNothing;
    Bytes received_;
    // The strict server's view of the connection.
    Strictness strictness_ = Strictness::kLenient;
    int telnetState_ = 0; // where in a Telnet sequence the last receive ended
    uint8_t verb_ = 0;    // WILL, WONT, DO or DONT waiting for its option
    Bytes sub_;           // the subnegotiation being read, unescaped
    bool clientWill_[256] = {};
    bool serverWill_[256] = {};
    DeviceLine line_ = {};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    std::vector<std::thread> timers_;
};

// The first bytes every device server sees from a fresh port, in one send: IAC DO TRANSMIT-BINARY,
// IAC WILL TRANSMIT-BINARY, IAC DO COM-PORT-OPTION, IAC WILL COM-PORT-OPTION. The bytes live in
// opening.inc, which the Python tests read too.
Bytes Negotiation();

// "127.0.0.1:PORT" where nobody listens: the port a server had a moment ago.
std::string RefusedAddress();

// Bytes from a list such as {0x41, 0xFF}, or from text.
Bytes B(std::initializer_list<int> values);
Bytes Text(const std::string &s);
// The parts one after the other.
Bytes Join(std::initializer_list<Bytes> parts);
// Data as a device server receives it: every 0xFF doubled.
Bytes Escaped(const Bytes &data);
// COM-PORT-OPTION command frames as a device server receives them: SET-BAUDRATE with its four
// value bytes as given, most significant first, and a one-byte setting (2 SET-DATASIZE,
// 3 SET-PARITY, 4 SET-STOPSIZE) with the value the wire carries.
Bytes BaudFrame(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
Bytes SettingFrame(uint8_t command, uint8_t value);
// The four frames a port sends when all four settings change, in its order: the baud rate, then
// data size, parity (1 none ... 5 space) and stop size (1, 2, or 3 for one and a half).
Bytes LineFrames(uint32_t baud, uint8_t dataSize, uint8_t parity, uint8_t stopSize);
// "41 FF 42" for failure messages.
std::string Hex(const Bytes &bytes);

// The number of open descriptors of this process (on Windows: of open sockets), by the first of
// DescriptorCounters() that can count here. Where none can, the running test fails and the result
// is -1, so no leak check passes without counting.
int OpenDescriptorCount();

// The ways this system may count descriptors, best first; each gives -1 where it cannot count.
struct DescriptorCounter {
    const char *name;
    int (*count)();
};
std::vector<DescriptorCounter> DescriptorCounters();

#endif
