#include "script_server.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "test_socket.h"

#include <algorithm>
#include <iterator>

namespace {

// Telnet (RFC 854, 856) and COM-PORT-OPTION (RFC 2217) bytes, as a device server reads them.
constexpr uint8_t kSe = 0xF0, kSb = 0xFA, kWill = 0xFB, kWont = 0xFC, kDo = 0xFD, kDont = 0xFE, kIac = 0xFF;
constexpr uint8_t kTransmitBinary = 0x00, kComPortOption = 0x2C;

// Where a strict server is in the client's Telnet stream.
enum { kData, kCommand, kOption, kSub, kSubCommand };

} // namespace

ScriptServer::ScriptServer(uint16_t port, const char *host) : host_(host)
{
    TestSocketStartup();
    listener_ = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    TestNoInherit(static_cast<TestSocket>(listener_));
    TestAllowRebind(static_cast<TestSocket>(listener_));
    conn_ = static_cast<intptr_t>(kTestInvalidSocket);
    sockaddr_in at;
    std::memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    unsigned a = 127, b = 0, c = 0, d = 1;
    std::sscanf(host, "%u.%u.%u.%u", &a, &b, &c, &d);
    at.sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
    at.sin_port = htons(port);
    bind(static_cast<TestSocket>(listener_), reinterpret_cast<sockaddr *>(&at), sizeof at);
    listen(static_cast<TestSocket>(listener_), 16);
    TestSockLen length = sizeof at;
    getsockname(static_cast<TestSocket>(listener_), reinterpret_cast<sockaddr *>(&at), &length);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptServer::~ScriptServer()
{
    // A flood or a timer may be stuck in a send to a port that stopped reading: shutting the
    // connection down ends such sends. The server thread runs until the timers are done, since
    // a timer may be waiting for it to carry out an action.
    flooding_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (conn_ != static_cast<intptr_t>(kTestInvalidSocket))
            shutdown(static_cast<TestSocket>(conn_), kTestShutdownBoth);
    }
    if (flood_.joinable())
        flood_.join();
    for (std::thread &t : timers_)
        t.join();
    stop_ = true;
    thread_.join();
    if (conn_ != static_cast<intptr_t>(kTestInvalidSocket))
        TestCloseSocket(static_cast<TestSocket>(conn_));
    TestCloseSocket(static_cast<TestSocket>(listener_));
}

std::string ScriptServer::Address() const
{
    return host_ + ":" + std::to_string(port_);
}

void ScriptServer::SendOnAccept(const Bytes &bytes, ServerAction then)
{
    std::lock_guard<std::mutex> lock(mutex_);
    onAccept_ = bytes;
    onAcceptAction_ = then;
}

void ScriptServer::SetStrictness(Strictness strictness)
{
    std::lock_guard<std::mutex> lock(mutex_);
    strictness_ = strictness;
}

DeviceLine ScriptServer::Line()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return line_;
}

void ScriptServer::SetReading(bool reading)
{
    reading_ = reading;
}

void ScriptServer::SetEcho(bool echo)
{
    echo_ = echo;
}

// The background thread: accept one connection (the most recent one replaces the previous), then
// record what arrives until told to stop.
void ScriptServer::Run()
{
    while (!stop_) {
        if (requested_ != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            ApplyAction(static_cast<ServerAction>(requested_.load()));
            requested_ = 0;
            changed_.notify_all();
        }
        TestSocket active = static_cast<TestSocket>(conn_);
        bool haveConn = conn_ != static_cast<intptr_t>(kTestInvalidSocket);
        bool watchConn = haveConn && reading_ && !peerClosed_;
        int which = TestWaitReadable(static_cast<TestSocket>(listener_), watchConn ? active : kTestInvalidSocket, 20);
        if (which & 1) {
            TestSocket s = accept(static_cast<TestSocket>(listener_), nullptr, nullptr);
            if (s != kTestInvalidSocket) {
                TestNoInherit(s);
                Bytes first;
                ServerAction then;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (haveConn)
                        TestCloseSocket(active);
                    conn_ = static_cast<intptr_t>(s);
                    peerClosed_ = false;
                    received_.clear();
                    receivedTotal_ = 0;
                    telnetState_ = kData;
                    std::fill(std::begin(clientWill_), std::end(clientWill_), false);
                    std::fill(std::begin(serverWill_), std::end(serverWill_), false);
                    line_ = {115200, 8, 1, 1};
                    first = onAccept_;
                    then = onAcceptAction_;
                }
                if (!first.empty())
                    TestSendAll(s, first.data(), first.size());
                if (then != ServerAction::kNothing) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ApplyAction(then);
                }
                ++accepted_;
                changed_.notify_all();
                continue;
            }
        }
        if ((which & 2) && reading_) {
            uint8_t buffer[65536];
            int got = TestReceive(active, buffer, sizeof buffer);
            std::unique_lock<std::mutex> lock(mutex_);
            Bytes answer;
            if (got > 0) {
                received_.insert(received_.end(), buffer, buffer + got);
                receivedTotal_ += static_cast<size_t>(got);
                if (strictness_ != Strictness::kLenient)
                    Interpret(buffer, static_cast<size_t>(got), &answer);
                if (echo_)
                    answer.insert(answer.end(), buffer, buffer + got);
            } else {
                // As device servers do, the library's close is answered with a close of our own.
                peerClosed_ = true;
                if (got == 0)
                    shutdown(active, kTestShutdownSend);
            }
            changed_.notify_all();
            if (!answer.empty()) {
                lock.unlock();
                TestSendAll(active, answer.data(), answer.size());
                lock.lock();
            }
            if (got > 0 && triggerArmed_ && receivedTotal_ >= triggerAt_) {
                triggerArmed_ = false;
                triggerRunning_ = true;
                Bytes reply = triggerReply_;
                lock.unlock();
                if (!reply.empty())
                    TestSendAll(active, reply.data(), reply.size());
                lock.lock();
                ApplyAction(triggerAction_);
                triggerRunning_ = false;
                changed_.notify_all();
            }
        }
    }
}

void ScriptServer::ApplyAction(ServerAction action)
{
    const TestSocket s = static_cast<TestSocket>(conn_);
    if (s == kTestInvalidSocket)
        return;
    switch (action) {
    case ServerAction::kNothing:
        break;
    case ServerAction::kClose:
        shutdown(s, kTestShutdownBoth);
        break;
    case ServerAction::kDrop:
        TestCloseSocket(s);
        conn_ = static_cast<intptr_t>(kTestInvalidSocket);
        break;
    case ServerAction::kReset:
        TestResetSocket(s);
        conn_ = static_cast<intptr_t>(kTestInvalidSocket);
        break;
    }
}

void ScriptServer::Interpret(const uint8_t *bytes, size_t n, Bytes *reply)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        switch (telnetState_) {
        case kData:
            if (b == kIac)
                telnetState_ = kCommand;
            break;
        case kCommand:
            telnetState_ = kData; // IAC IAC is a data 0xFF; other commands carry nothing
            if (b >= kWill && b <= kDont) {
                verb_ = b;
                telnetState_ = kOption;
            } else if (b == kSb) {
                sub_.clear();
                telnetState_ = kSub;
            }
            break;
        case kOption:
            Negotiate(verb_, b, reply);
            telnetState_ = kData;
            break;
        case kSub:
            if (b == kIac)
                telnetState_ = kSubCommand;
            else
                sub_.push_back(b);
            break;
        case kSubCommand:
            telnetState_ = kSub;
            if (b == kSe) {
                Subnegotiation(reply);
                telnetState_ = kData;
            } else if (b == kIac) {
                sub_.push_back(kIac);
            }
            break;
        }
    }
}

// Agrees to binary transmission both ways and to the client's COM-PORT-OPTION; only the server
// that waits for the client's WILL takes the option on itself as well when asked. A request for
// what is already so goes unanswered, so two parties never loop (RFC 854).
void ScriptServer::Negotiate(uint8_t verb, uint8_t option, Bytes *reply)
{
    const bool clientSide = verb == kWill || verb == kWont; // about what the client does
    const bool asked = verb == kWill || verb == kDo;
    const bool agreed =
        asked && (option == kTransmitBinary ||
                  (option == kComPortOption && (clientSide || strictness_ == Strictness::kWaitsForWill)));
    bool &on = clientSide ? clientWill_[option] : serverWill_[option];
    if ((agreed && on) || (!asked && !on))
        return;
    on = agreed;
    const uint8_t answer = clientSide ? (on ? kDo : kDont) : (on ? kWill : kWont);
    reply->insert(reply->end(), {kIac, answer, option});
}

// Applies a COM-PORT-OPTION command the server honours and acknowledges it with the value now in
// force (the command code plus 100); a value of 0 only asks for it.
void ScriptServer::Subnegotiation(Bytes *reply)
{
    if (sub_.size() < 3 || sub_[0] != kComPortOption)
        return;
    const bool honoured = strictness_ == Strictness::kWaitsForWill
                              ? clientWill_[kComPortOption]
                              : clientWill_[kComPortOption] || serverWill_[kComPortOption];
    if (!honoured)
        return;
    const uint8_t command = sub_[1];
    Bytes value(sub_.begin() + 2, sub_.end());
    uint32_t baud = 0;
    switch (command) {
    case 1:
        if (value.size() != 4)
            return;
        for (uint8_t b : value)
            baud = baud << 8 | b;
        if (baud != 0)
            line_.baud = baud;
        value = {static_cast<uint8_t>(line_.baud >> 24), static_cast<uint8_t>(line_.baud >> 16),
                 static_cast<uint8_t>(line_.baud >> 8), static_cast<uint8_t>(line_.baud)};
        break;
    case 2:
    case 3:
    case 4: {
        uint8_t &setting = command == 2 ? line_.dataSize : command == 3 ? line_.parity : line_.stopSize;
        if (value.size() != 1)
            return;
        if (value[0] != 0)
            setting = value[0];
        value = {setting};
        break;
    }
    default:
        return;
    }
    reply->insert(reply->end(), {kIac, kSb, kComPortOption, static_cast<uint8_t>(command + 100)});
    for (uint8_t b : value) {
        reply->push_back(b);
        if (b == kIac)
            reply->push_back(kIac);
    }
    reply->insert(reply->end(), {kIac, kSe});
}

bool ScriptServer::WaitAccepted(int timeoutMs)
{
    return WaitAcceptedCount(1, timeoutMs);
}

bool ScriptServer::WaitAcceptedCount(int n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return accepted_ >= n; });
}

bool ScriptServer::WaitReceived(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

bool ScriptServer::WaitPeerClosed(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return peerClosed_; });
}

int ScriptServer::DataSegmentsIn()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return conn_ == static_cast<intptr_t>(kTestInvalidSocket) ? -1 : TestDataSegmentsIn(static_cast<TestSocket>(conn_));
}

Bytes ScriptServer::Received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

Bytes ScriptServer::TakeReceived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes all;
    all.swap(received_);
    return all;
}

void ScriptServer::Send(const Bytes &bytes)
{
    WaitAccepted();
    TestSendAll(static_cast<TestSocket>(conn_), bytes.data(), bytes.size());
}

void ScriptServer::SendUrgent(uint8_t byte)
{
    WaitAccepted();
    send(static_cast<TestSocket>(conn_), reinterpret_cast<const char *>(&byte), 1, MSG_OOB);
}

void ScriptServer::SendAfter(int ms, const Bytes &bytes)
{
    timers_.emplace_back([this, ms, bytes] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        Send(bytes);
    });
}

void ScriptServer::Close()
{
    WaitAccepted();
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown(static_cast<TestSocket>(conn_), kTestShutdownBoth);
}

void ScriptServer::Reset()
{
    Act(ServerAction::kReset);
}

void ScriptServer::Drop()
{
    Act(ServerAction::kDrop);
}

void ScriptServer::Act(ServerAction action)
{
    if (action == ServerAction::kNothing)
        return;
    WaitAccepted();
    // The background thread owns the socket while it may be waiting on it, so it acts on it.
    std::unique_lock<std::mutex> lock(mutex_);
    requested_ = static_cast<int>(action);
    changed_.wait(lock, [this] { return requested_ == 0; });
}

void ScriptServer::ActAfter(int ms, ServerAction action)
{
    timers_.emplace_back([this, ms, action] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        Act(action);
    });
}

void ScriptServer::SendBytewise(const Bytes &bytes, int gapMs)
{
    timers_.emplace_back([this, bytes, gapMs] {
        for (uint8_t b : bytes) {
            Send(Bytes(1, b));
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
    });
}

void ScriptServer::When(size_t total, const Bytes &reply, ServerAction action)
{
    std::lock_guard<std::mutex> lock(mutex_);
    triggerAt_ = total;
    triggerReply_ = reply;
    triggerAction_ = action;
    triggerArmed_ = true;
}

bool ScriptServer::WaitTriggered(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !triggerArmed_ && !triggerRunning_; });
}

void ScriptServer::StartFlood(const Bytes &unit)
{
    WaitAccepted();
    Bytes block;
    while (block.size() < 65536)
        block.insert(block.end(), unit.begin(), unit.end());
    const TestSocket s = static_cast<TestSocket>(conn_);
    flooding_ = true;
    flood_ = std::thread([this, s, block] {
        while (flooding_)
            if (!TestSendAll(s, block.data(), block.size()))
                return;
        Bytes tail;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tail.swap(floodTail_);
        }
        if (!tail.empty())
            TestSendAll(s, tail.data(), tail.size());
    });
}

void ScriptServer::StopFlood(const Bytes &tail)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        floodTail_ = tail;
    }
    flooding_ = false;
}

void ScriptServer::CloseAfter(int ms)
{
    timers_.emplace_back([this, ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        Close();
    });
}

Bytes Negotiation()
{
    return B({
#include "opening.inc"
    });
}

std::string RefusedAddress()
{
    // A port bound but never listened on: a connect is refused, and no other test (of this process
    // or another running beside it) can take the port while this process lives.
    static const std::string address = [] {
        TestSocketStartup();
        const TestSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        TestNoInherit(s);
        sockaddr_in at;
        std::memset(&at, 0, sizeof at);
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at);
        TestSockLen length = sizeof at;
        getsockname(s, reinterpret_cast<sockaddr *>(&at), &length);
        return "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    }();
    return address;
}

Bytes B(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<uint8_t>(v));
    return out;
}

Bytes Text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Escaped(const Bytes &data)
{
    Bytes out;
    out.reserve(data.size() + data.size() / 128);
    for (uint8_t b : data) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0xFF);
    }
    return out;
}

Bytes BaudFrame(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return B({0xFF, 0xFA, 0x2C, 0x01, a, b, c, d, 0xFF, 0xF0});
}

Bytes SettingFrame(uint8_t command, uint8_t value)
{
    return B({0xFF, 0xFA, 0x2C, command, value, 0xFF, 0xF0});
}

Bytes LineFrames(uint32_t baud, uint8_t dataSize, uint8_t parity, uint8_t stopSize)
{
    return Join({BaudFrame(static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                           static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)),
                 SettingFrame(2, dataSize), SettingFrame(3, parity), SettingFrame(4, stopSize)});
}

std::string Hex(const Bytes &bytes)
{
    std::string out;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X", bytes[i]);
        out += piece;
    }
    return out;
}
