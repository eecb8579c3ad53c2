// kvterm as a user runs it: the real program, its standard input a pipe, against the scripted
// server. What the server receives is checked byte for byte, and so is what kvterm prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "script_server.h"

namespace
{

const Bytes kNegotiation = {0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C};

// Exit statuses kvterm documents.
enum { kDone = 0, kUsage = 2, kRefusedConnection = 3, kRefusedSetting = 4, kLostConnection = 5 };

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One run of kvterm with pipes on its standard input, output and error.
class Kvterm
{
  public:
    explicit Kvterm(const std::vector<std::string> &args)
    {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
            ADD_FAILURE() << "pipe";
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
                close(fd);
            std::vector<char *> argv;
            static std::string path = KVTERM_PATH;
            argv.push_back(&path[0]);
            std::vector<std::string> copy = args;
            for (std::string &a : copy)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        input_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    ~Kvterm()
    {
        CloseInput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (err_ >= 0)
            close(err_);
    }

    void Type(const Bytes &data)
    {
        ASSERT_EQ(write(input_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    void CloseInput()
    {
        if (input_ >= 0)
            close(input_);
        input_ = -1;
    }

    // Reads standard output and error to their end and waits for the exit status; -1 when
    // kvterm is still running after timeoutMs (it is then killed).
    int Finish(int timeoutMs = 15000)
    {
        const auto start = std::chrono::steady_clock::now();
        while (out_ >= 0 || err_ >= 0) {
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            const long elapsed = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                    .count());
            if (elapsed >= timeoutMs || poll(p, 2, static_cast<int>(timeoutMs - elapsed)) <= 0)
                return -1;
            Drain(p[0], &out_, &out);
            Drain(p[1], &err_, &err);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    Bytes out;
    std::string err;

  private:
    template <typename Sink> static void Drain(const pollfd &p, int *fd, Sink *sink)
    {
        if (*fd < 0 || p.revents == 0)
            return;
        char buffer[4096];
        ssize_t n = read(*fd, buffer, sizeof buffer);
        if (n <= 0) {
            close(*fd);
            *fd = -1;
            return;
        }
        sink->insert(sink->end(), buffer, buffer + n);
    }

    pid_t pid_ = -1;
    int input_ = -1, out_ = -1, err_ = -1;
};

// A TCP port on 127.0.0.1 where nobody listens.
std::string ClosedAddress()
{
    std::string address;
    {
        ScriptServer gone;
        address = gone.Address();
    }
    return address;
}

std::vector<std::string> With(const std::string &address, std::vector<std::string> args)
{
    args.insert(args.begin(), address);
    return args;
}

struct UsageCase {
    std::vector<std::string> args; // "@" stands for the scripted server's address
    const char *says;              // part of the message on standard error
};

TEST(Kvterm, UsageErrorsExitTwoWithoutConnecting)
{
    const UsageCase cases[] = {
        {{}, "no address"},
        {{"127.0.0.1"}, "bad address"},
        {{"localhost:2217"}, "bad address"},
        {{"127.0.0.256:2217"}, "bad address"},
        {{"127.0.0.1:0"}, "bad address"},
        {{"127.0.0.1:65536"}, "bad address"},
        {{"127.0.0.1:22x"}, "bad address"},
        {{"@", "--parity", "sometimes"}, "bad value for --parity"},
        {{"@", "--stop", "3"}, "bad value for --stop"},
        {{"@", "--baud", "fast"}, "bad value for --baud"},
        {{"@", "--timeouts", "1,2"}, "bad value for --timeouts"},
        {{"@", "--baud"}, "--baud needs a value"},
        {{"@", "--speed", "9600"}, "unknown option --speed"},
        {{"@", "@"}, "more than one address"},
    };
    ScriptServer server;
    for (const UsageCase &c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string &a : args)
            if (a == "@")
                a = server.Address();
        Kvterm term(args);
        EXPECT_EQ(term.Finish(), kUsage) << c.says;
        EXPECT_NE(term.err.find(c.says), std::string::npos) << term.err;
    }
    EXPECT_EQ(server.Accepted(), 0) << "a usage error must not connect";
}

TEST(Kvterm, RefusedConnectionExitsThree)
{
    Kvterm term({ClosedAddress()});
    EXPECT_EQ(term.Finish(), kRefusedConnection);
    EXPECT_NE(term.err.find("cannot connect"), std::string::npos) << term.err;
}

struct SettingCase {
    std::vector<std::string> args;
    Bytes wire; // what the server receives after the negotiation, input closed at once
    int status;
    const char *why;
};

TEST(Kvterm, LineSettingsOnTheWire)
{
    const Bytes baud9600 = {0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0};
    const SettingCase cases[] = {
        {{}, {}, kDone, "no setting given: nothing sent, the server's settings stay"},
        {{"--baud", "115200", "--data", "7", "--parity", "even", "--stop", "2"},
         {0xFF, 0xFA, 0x2C, 0x01, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x02, 0x07, 0xFF,
          0xF0, 0xFF, 0xFA, 0x2C, 0x03, 0x03, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x04, 0x02, 0xFF, 0xF0},
         kDone,
         "all four"},
        {{"--parity", "mark", "--stop", "1.5"},
         Concat({baud9600, {0xFF, 0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x03,
                            0x04, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x04, 0x03, 0xFF, 0xF0}}),
         kDone,
         "the others default to 9600 8 data bits"},
        {{"--parity", "space", "--stop", "1"},
         Concat({baud9600, {0xFF, 0xFA, 0x2C, 0x02, 0x08, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x03,
                            0x05, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x04, 0x01, 0xFF, 0xF0}}),
         kDone,
         "space parity, one stop bit"},
        {{"--baud", "12345"}, {}, kRefusedSetting, "a baud rate the library does not take"},
        {{"--data", "9"}, baud9600, kRefusedSetting, "nine data bits: the baud rate went first"},
        {{"--data", "4"}, baud9600, kRefusedSetting, "four data bits"},
    };
    for (const SettingCase &c : cases) {
        ScriptServer server;
        Kvterm term(With(server.Address(), c.args));
        term.CloseInput();
        EXPECT_EQ(term.Finish(), c.status) << c.why << ": " << term.err;
        const Bytes want = Concat({kNegotiation, c.wire});
        server.WaitReceived(want.size(), 1000);
        EXPECT_EQ(Hex(server.Received()), Hex(want)) << c.why;
        if (c.status == kRefusedSetting) {
            EXPECT_NE(term.err.find("line setting refused"), std::string::npos) << term.err;
        }
    }
}

TEST(Kvterm, CopiesEveryByteBothWays)
{
    ScriptServer server;
    Kvterm term({server.Address()});
    Bytes input;
    for (int b = 0; b < 256; ++b)
        input.push_back(static_cast<uint8_t>(b));
    for (uint8_t b : {0x0D, 0x00, 0x0D, 0x0A, 0x0D})
        input.push_back(b);
    term.Type(input);

    Bytes escaped;
    for (uint8_t b : input) {
        escaped.push_back(b);
        if (b == 0xFF)
            escaped.push_back(0xFF);
    }
    const Bytes want = Concat({kNegotiation, escaped});
    ASSERT_TRUE(server.WaitReceived(want.size()));
    EXPECT_EQ(Hex(server.Received()), Hex(want));

    // Data with doubled 0xFF, a negotiation and a subnegotiation in the middle of it.
    server.Send(B({'x',  0xFF, 0xFF, 'y',  0xFF, 0xFB, 0x01, 0x0D, 0x00, 0xFF,
                   0xFA, 0x2C, 0x6B, 0x30, 0xFF, 0xF0, 0x0D, 0x0A, 0xFF, 0xFF}));
    term.CloseInput();
    EXPECT_EQ(term.Finish(), kDone) << term.err;
    EXPECT_EQ(Hex(term.out), Hex(B({'x', 0xFF, 'y', 0x0D, 0x00, 0x0D, 0x0A, 0xFF})));
}

TEST(Kvterm, EveryReadModeCopiesBothWays)
{
    const std::vector<std::string> cases[] = {
        {"--timeouts", "max,0,0"},    // immediate: kvterm paces itself
        {"--timeouts", "0,0,50"},     // total
        {"--timeouts", "max,max,30"}, // first byte
    };
    for (const std::vector<std::string> &args : cases) {
        ScriptServer server;
        Kvterm term(With(server.Address(), args));
        term.Type(Text("ping\r"));
        ASSERT_TRUE(server.WaitReceived(kNegotiation.size() + 5)) << args[1];
        server.Send(B({'p', 'o', 'n', 'g', 0xFF, 0xFF, '\r'}));
        term.CloseInput();
        EXPECT_EQ(term.Finish(), kDone) << args[1] << ": " << term.err;
        EXPECT_EQ(Hex(term.out), Hex(B({'p', 'o', 'n', 'g', 0xFF, '\r'}))) << args[1];
        EXPECT_EQ(Hex(server.Received()), Hex(Concat({kNegotiation, Text("ping\r")}))) << args[1];
    }
}

TEST(Kvterm, ShowsWhatArrivesAfterTheInputEnded)
{
    ScriptServer server;
    Kvterm term({server.Address()});
    term.Type(Text("ID?\r"));
    term.CloseInput();
    ASSERT_TRUE(server.WaitReceived(kNegotiation.size() + 4));
    server.SendAfter(200, Text("kalvicom 1\r\n"));
    EXPECT_EQ(term.Finish(), kDone) << term.err;
    EXPECT_EQ(Hex(term.out), Hex(Text("kalvicom 1\r\n")));
}

TEST(Kvterm, HexDump)
{
    ScriptServer server;
    Kvterm term({server.Address(), "--hex"});
    ASSERT_TRUE(server.WaitReceived(kNegotiation.size()));
    server.SendAfter(100, Text("ABCDEFGHIJKLMNOPQR\xff\xff\x01"));
    server.SendAfter(400, Text("st"));
    server.CloseAfter(700);
    EXPECT_EQ(term.Finish(), kLostConnection);
    EXPECT_EQ(std::string(term.out.begin(), term.out.end()),
              "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
              "00000010  51 52 ff 01                                       |QR..|\n"
              "00000014  73 74                                             |st|\n");
}

TEST(Kvterm, LostConnectionExitsFive)
{
    ScriptServer server;
    Kvterm term({server.Address()});
    ASSERT_TRUE(server.WaitAccepted());
    server.CloseAfter(100); // input stays open: only the connection can end the run
    EXPECT_EQ(term.Finish(), kLostConnection);
    EXPECT_NE(term.err.find("connection lost"), std::string::npos) << term.err;
}

} // namespace
