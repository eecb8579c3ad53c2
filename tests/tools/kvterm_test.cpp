// kvterm as a user runs it: the real program against the scripted server, its standard input a
// pipe, and once in a real terminal (tmux). What the server receives is checked byte for byte,
// and so is what kvterm prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exit_status.h"
#include "options.h"
#include "script_server.h"
#include "tmux.h"

namespace
{

const Bytes kNegotiation = Negotiation();

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

    void Signal(int signal) { kill(pid_, signal); }

    // Reads standard output and error until done() holds or both have ended. Returns false after
    // timeoutMs.
    template <typename Done> bool ReadUntil(Done done, int timeoutMs = 15000)
    {
        const auto start = std::chrono::steady_clock::now();
        while ((out_ >= 0 || err_ >= 0) && !done()) {
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            const long elapsed = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                    .count());
            if (elapsed >= timeoutMs || poll(p, 2, static_cast<int>(timeoutMs - elapsed)) <= 0)
                return false;
            Drain(p[0], &out_, &out);
            Drain(p[1], &err_, &err);
        }
        return true;
    }

    // Reads standard output and error to their end and waits for the exit status; -1 when
    // kvterm is still running after timeoutMs (it is then killed).
    int Finish(int timeoutMs = 15000)
    {
        if (!ReadUntil([] { return false; }, timeoutMs))
            return -1;
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

// The arguments with "@" replaced by the server's address and "%" by its port.
std::vector<std::string> Fill(std::vector<std::string> args, const ScriptServer &server)
{
    for (std::string &a : args)
        for (size_t at; (at = a.find_first_of("@%")) != std::string::npos;)
            a.replace(at, 1, a[at] == '@' ? server.Address() : std::to_string(server.Port()));
    return args;
}

struct ArgumentCase {
    std::vector<std::string> args; // "@" an address
    int status;                    // kContinue: the session would start
    const char *says;              // part of what kvterm would print
};

// Every value is checked before anything connects, in-process: ParseOptions alone.
TEST(Kvterm, ArgumentsCheckedBeforeConnecting)
{
    const ArgumentCase cases[] = {
        {{"--help"}, kDone, "Exit status: 0 done"},
        {{"@", "--baud", "fast", "-h"}, kUsage, "bad value for --baud"}, // checked in order
        {{"--version"}, kDone, "kvterm " KVTERM_VERSION},
        {{}, kUsage, "no address"},
        {{"127.0.0.1"}, kUsage, "expected A.B.C.D:PORT"},
        {{"localhost:2217"}, kUsage, "host names are not accepted: give the device server's IPv4 address"},
        {{"127.0.0.256:2217"}, kUsage, "expected A.B.C.D:PORT"},
        {{"127.0.0.1:0"}, kUsage, "bad address"},
        {{"127.0.0.1:65536"}, kUsage, "bad address"},
        {{"@", "--parity", "sometimes"}, kUsage, "bad value for --parity"},
        {{"@", "--stop", "3"}, kUsage, "bad value for --stop"},
        {{"@", "--baud", "12345"}, kUsage, "bad value for --baud"}, // not in the library's list
        {{"@", "--baud=0"}, kUsage, "bad value for --baud"},
        {{"@", "--data", "9"}, kUsage, "bad value for --data"},
        {{"@", "-d4"}, kUsage, "bad value for --data"},
        {{"@", "--stop", "1.5"}, kUsage, "1.5 stop bits go with 5 data bits only"},
        {{"@", "-d", "5", "-s", "2"}, kUsage, "not 2"},
        {{"@", "--eol", "cr+lf"}, kUsage, "bad value for --eol"},
        {{"@", "--eol", "none"}, kUsage, "bad value for --eol"}, // Enter always sends something
        {{"@", "--imap", "crcr"}, kUsage, "bad value for --imap"},
        {{"@", "--log="}, kUsage, "bad value for --log"},
        {{"@", "--log"}, kUsage, "--log needs a value"},
        {{"@", "--timestamps=1"}, kUsage, "--timestamps takes no value"},
        {{"@", "--imap=none", "--log", "x", "--timestamps", "--reconnect"}, kContinue, ""},
        {{"@", "--wait", "-1"}, kUsage, "bad value for --wait"},
        {{"@", "--wait=0.0005"}, kUsage, "bad value for --wait"},
        {{"@", "--timeouts", "1,2"}, kUsage, "bad value for --timeouts"},
        {{"@", "--echo=yes"}, kUsage, "--echo takes no value"},
        {{"@", "--baud"}, kUsage, "--baud needs a value"},
        {{"@", "-b"}, kUsage, "--baud needs a value"},
        {{"@", "--speed", "9600"}, kUsage, "unknown option --speed"},
        {{"@", "-ex"}, kUsage, "unknown option -ex"},
        {{"@", "-b", "9600", "@"}, kUsage, "more than one address"},
    };
    for (const ArgumentCase &c : cases) {
        std::vector<std::string> words = {"kvterm"};
        for (const std::string &a : c.args)
            words.push_back(a == "@" ? "127.0.0.1:2217" : a);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(&w[0]);
        Options options;
        std::string said;
        EXPECT_EQ(ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &said), c.status) << c.says;
        EXPECT_NE(said.find(c.says), std::string::npos) << c.says << ": " << said;
    }
}

// Nobody listening, and a server that turns the client away as ser2net does while another client
// holds the port: the library cannot tell them apart, and kvterm names both.
TEST(Kvterm, RefusedConnectionExitsThree)
{
    ScriptServer busy;
    busy.SendOnAccept(Text("Port already in use\r\n"), ServerAction::kClose);
    for (const std::string &address : {RefusedAddress(), busy.Address()}) {
        Kvterm term({address});
        EXPECT_EQ(term.Finish(), kRefusedConnection) << address << ": " << term.err;
        EXPECT_NE(term.err.find("cannot connect to " + address +
                                " (refused, unreachable, busy (another client holds "
                                "the port), or no device server there)"),
                  std::string::npos)
            << term.err;
    }
    EXPECT_EQ(busy.Accepted(), 1);
}

struct SettingCase {
    std::vector<std::string> args; // "@" the server's address, "%" its port
    Bytes wire;                    // what the server receives after the negotiation, input closed at once
    const char *says;              // on standard error
};

TEST(Kvterm, LineSettingsOnTheWire)
{
    const SettingCase cases[] = {
        {{"@"}, {}, "connected"},            // no setting given: nothing sent, the server's settings stay
        {{"127.0.0.1: %"}, {}, "connected"}, // addresses as the library reads them
        {{"+@/x"}, {}, "connected"},
        {{"@", "--baud", "115200", "--data", "7", "--parity", "even", "--stop", "2"},
         LineFrames(115200, 7, 3, 2),
         "line settings sent: 115200 7E2"},
        {{"@", "--parity", "even"}, LineFrames(9600, 8, 3, 1), "line settings sent: 9600 8E1"},
        {{"-b", "19200", "@"}, LineFrames(19200, 8, 1, 1), "19200 8N1"},
        {{"@", "--baud=19200", "-pe"}, LineFrames(19200, 8, 3, 1), "19200 8E1"},
        {{"@", "-d", "5", "--parity", "mark", "-s1.5"}, LineFrames(9600, 5, 4, 3), "9600 5M1.5"},
        {{"@", "--parity=space", "--stop", "1"}, LineFrames(9600, 8, 5, 1), "9600 8S1"},
    };
    for (const SettingCase &c : cases) {
        ScriptServer server;
        Kvterm term(Fill(c.args, server));
        term.CloseInput();
        EXPECT_EQ(term.Finish(), kDone) << c.says << ": " << term.err;
        const Bytes want = Join({kNegotiation, c.wire});
        server.WaitReceived(want.size(), 1000);
        EXPECT_EQ(Hex(server.Received()), Hex(want)) << c.says;
        EXPECT_NE(term.err.find(c.says), std::string::npos) << term.err;
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
    const Bytes want = Join({kNegotiation, escaped});
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
        {"@", "--timeouts", "max,0,0"},    // immediate: kvterm paces itself
        {"@", "--timeouts", "0,0,50"},     // total
        {"@", "--timeouts", "max,max,30"}, // first byte
    };
    for (const std::vector<std::string> &args : cases) {
        ScriptServer server;
        Kvterm term(Fill(args, server));
        term.Type(Text("ping\r"));
        ASSERT_TRUE(server.WaitReceived(kNegotiation.size() + 5)) << args[2];
        server.Send(B({'p', 'o', 'n', 'g', 0xFF, 0xFF, '\r'}));
        term.CloseInput();
        EXPECT_EQ(term.Finish(), kDone) << args[2] << ": " << term.err;
        EXPECT_EQ(Hex(term.out), Hex(B({'p', 'o', 'n', 'g', 0xFF, '\r'}))) << args[2];
        EXPECT_EQ(Hex(server.Received()), Hex(Join({kNegotiation, Text("ping\r")}))) << args[2];
    }
}

struct WaitCase {
    std::vector<std::string> args;
    int answerAfterMs; // after the input has ended
    bool shown;
};

TEST(Kvterm, ShowsWhatArrivesAfterTheInputEnded)
{
    const WaitCase cases[] = {
        {{"@"}, 200, true},   // within the default half second
        {{"@"}, 1500, false}, // too late for it
        {{"@", "--wait", "2.5"}, 1500, true},
        {{"@", "--wait=0"}, 1500, false},
    };
    for (const WaitCase &c : cases) {
        ScriptServer server;
        Kvterm term(Fill(c.args, server));
        term.Type(Text("ID?\r"));
        term.CloseInput();
        ASSERT_TRUE(server.WaitReceived(kNegotiation.size() + 4));
        server.SendAfter(c.answerAfterMs, Text("kalvicom 1\r\n"));
        EXPECT_EQ(term.Finish(), kDone) << term.err;
        EXPECT_EQ(Hex(term.out), Hex(c.shown ? Text("kalvicom 1\r\n") : Bytes())) << c.answerAfterMs;
    }
}

TEST(Kvterm, ListenIgnoresTheInputAndEndsAtCtrlC)
{
    ScriptServer server;
    Kvterm term({server.Address(), "--listen"});
    term.Type(Text("not sent"));
    ASSERT_TRUE(term.ReadUntil([&] { return term.err.find("connected") != std::string::npos; })) << term.err;
    server.Send(Text("log\n"));
    EXPECT_TRUE(term.ReadUntil([&] { return term.out.size() >= 4; }));
    term.Signal(SIGINT);
    EXPECT_EQ(term.Finish(), kDone) << term.err;
    EXPECT_EQ(Hex(term.out), Hex(Text("log\n")));
    EXPECT_EQ(Hex(server.Received()), Hex(kNegotiation));
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

// One session in a real terminal, as a user types: keys go as typed, Enter as the chosen end of
// line, Ctrl-C to the device, the menu sets a baud rate, control bytes show; with --reconnect the
// server goes away and comes back on the same port 2 s later, and gets the line settings again;
// Ctrl-T u sends a file; Ctrl-] leaves with status 0 and the terminal settings are as they were.
// Two more runs check --eol lf with --imap cr, --timestamps and the hex view's status line, and
// --eol crlf with --log.
TEST(Kvterm, InteractiveSessionInATerminal)
{
    if (!HaveTmux())
        GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
    std::unique_ptr<ScriptServer> first(new ScriptServer);
    const uint16_t firstPort = first->Port();
    ScriptServer second, third;
    const std::pair<std::string, const char *> runs[] = {{first->Address(), " --reconnect"},
                                                         {second.Address(), " --eol lf --imap cr --timestamps"},
                                                         {third.Address(), " --eol crlf --log log.bin"}};
    std::string script = "stty -g >before\n";
    for (size_t i = 0; i < 3; ++i)
        script += std::string(KVTERM_PATH) + " " + runs[i].first + runs[i].second + "; echo $? >status" +
                  std::to_string(i + 1) + "\n";
    Tmux tmux("kvterm", script + "stty -g >after\n");
    auto screenShows = [&](const std::string &text) {
        return tmux.Wait([&] { return tmux.Screen().find(text) != std::string::npos; });
    };
    auto lineStarts = [&](const std::string &text) { return tmux.Wait([&] { return tmux.LineStarts(text); }); };
    Bytes file; // more than 64 KiB, every byte value, 0xFF and CR included
    for (int i = 0; i < 70000; ++i)
        file.push_back(static_cast<uint8_t>(i * 7));
    tmux.Put("send.bin", file);
    tmux.Put("log.bin", Text("before\n")); // the log is appended to

    ASSERT_TRUE(first->WaitReceived(kNegotiation.size())) << tmux.Screen();
    tmux.Keys("-l ab");
    EXPECT_TRUE(first->WaitReceived(kNegotiation.size() + 2)) << "keys must go before Enter";
    tmux.Keys("Enter C-c C-t b");
    tmux.Keys("-l 19200");
    tmux.Keys("Enter");
    const Bytes line19200 = LineFrames(19200, 8, 1, 1);
    const Bytes want = Join({kNegotiation, Text("ab\r\x03"), line19200});
    EXPECT_TRUE(first->WaitReceived(want.size()));
    EXPECT_EQ(Hex(first->Received()), Hex(want));
    EXPECT_TRUE(screenShows("line settings sent: 19200 8N1")) << tmux.Screen();
    first->Send(B({'x', 0x01, 'y', 0x1B, 'z', 0x7F, '\r', '\n'}));
    EXPECT_TRUE(screenShows("x^Ay^[z^?")) << tmux.Screen();

    // The server goes away after half a line and comes back; the line settings in force go again.
    first->Send(Text("1st-answer"));
    EXPECT_TRUE(screenShows("1st-answer")) << tmux.Screen();
    first.reset();
    EXPECT_TRUE(lineStarts("kvterm: connection lost")) << tmux.Screen();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    first.reset(new ScriptServer(firstPort));
    const Bytes again = Join({kNegotiation, line19200});
    EXPECT_TRUE(first->WaitReceived(again.size(), 8000)) << tmux.Screen();
    EXPECT_EQ(Hex(first->Received()), Hex(again));
    EXPECT_TRUE(lineStarts("kvterm: reconnected to " + runs[0].first + "; line settings sent: 19200 8N1"))
        << tmux.Screen();
    tmux.Keys("-l cd");
    first->Send(Text("2nd-answer\r\n"));
    EXPECT_TRUE(screenShows("2nd-answer")) << tmux.Screen();
    tmux.Keys("C-t u");
    tmux.Keys("-l send.bin");
    tmux.Keys("Enter");
    const Bytes sent = Join({again, Text("cd"), Escaped(file)});
    EXPECT_TRUE(first->WaitReceived(sent.size())) << first->Received().size() << " of " << sent.size() << " bytes";
    EXPECT_TRUE(first->Received() == sent) << "the file's bytes, exactly";
    EXPECT_TRUE(screenShows("sending send.bin: 64 of 68 KiB")) << tmux.Screen();
    EXPECT_TRUE(lineStarts("kvterm: file send.bin: sent, 70000 bytes")) << tmux.Screen();
    tmux.Keys("C-]");
    EXPECT_TRUE(tmux.Wait([&] { return tmux.File("status1") == "0\n"; })) << tmux.File("status1");

    // A device that ends its lines with CR alone; each line stamped; the hex view says so on a
    // line of its own, though the device's last line is unfinished.
    ASSERT_TRUE(second.WaitReceived(kNegotiation.size())) << tmux.Screen();
    tmux.Keys("Enter");
    EXPECT_TRUE(second.WaitReceived(kNegotiation.size() + 1));
    EXPECT_EQ(Hex(second.Received()), Hex(Join({kNegotiation, Text("\n")})));
    second.Send(Text("A\rB"));
    // Two lines "HH:MM:SS.mmm A" and "HH:MM:SS.mmm B", one after the other.
    const auto stamped = [](const std::string &line, const std::string &text) {
        const std::string shape = "00:00:00.000 ";
        if (line.size() != shape.size() + text.size() || line.compare(shape.size(), text.size(), text) != 0)
            return false;
        for (size_t i = 0; i < shape.size(); ++i)
            if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
                return false;
        return true;
    };
    const auto twoLines = [&] {
        std::istringstream screen(tmux.Screen());
        std::string previous, line;
        for (; std::getline(screen, line); previous = line)
            if (stamped(previous, "A") && stamped(line, "B"))
                return true;
        return false;
    };
    EXPECT_TRUE(tmux.Wait(twoLines)) << tmux.Screen();
    tmux.Keys("C-t h");
    EXPECT_TRUE(lineStarts("kvterm: hex view on")) << tmux.Screen();
    tmux.Keys("C-]");

    ASSERT_TRUE(third.WaitReceived(kNegotiation.size())) << tmux.Screen();
    tmux.Keys("Enter");
    EXPECT_TRUE(third.WaitReceived(kNegotiation.size() + 2));
    EXPECT_EQ(Hex(third.Received()), Hex(Join({kNegotiation, Text("\r\n")})));
    const Bytes device = B({'l', 'o', 'g', 0xFF, 0xFF, 0x00, '\r', 0x1B, '\n', 0x80});
    third.Send(device);
    const Bytes logged = Join({Text("before\nlog"), B({0xFF, 0x00, '\r', 0x1B, '\n', 0x80})});
    EXPECT_TRUE(tmux.Wait([&] { return Text(tmux.File("log.bin")) == logged; })) << Hex(Text(tmux.File("log.bin")));
    tmux.Keys("C-]");

    EXPECT_TRUE(tmux.Wait([&] { return !tmux.File("after").empty(); })) << tmux.Screen();
    EXPECT_EQ(tmux.File("status2") + tmux.File("status3"), "0\n0\n");
    EXPECT_EQ(tmux.File("after"), tmux.File("before")) << "the terminal settings must be restored";
}

} // namespace
