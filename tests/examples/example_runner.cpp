// Runs one example program against the scripted device server, in the situations a caller meets:
// an answer in one piece or in several, a silent device, a device that stops mid-line, a server
// that hangs up or resets, and no server at all.
//
//     example_runner [gtest flags] [--scheme=kalvicom://] [--terminal] -- COMMAND [ARGS...]
//
// The server's address (after the scheme, when one is given) is added as the last argument. The
// example must put exactly "9600 8N1" and its request on the wire, print the answer line on
// success, and on failure say why on standard error and exit with 1. With --terminal, COMMAND is
// an interactive terminal program (pyserial's miniterm) that is run in tmux instead: a line typed
// goes to the device and the device's answer shows on the screen.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port_fixture.h"
#include "tmux.h"

namespace
{

std::vector<std::string> gCommand;
std::string gScheme;    // put before the address
bool gTerminal = false; // the command is an interactive terminal program

struct Outcome {
    int exitStatus = -1; // -1 when the program did not exit normally
    std::string out;     // what it printed on standard output
    std::string err;     // and on standard error
    double ms = 0;       // how long it ran
};

std::string Quoted(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string CommandLine(const std::string &address)
{
    std::string line;
    for (const std::string &word : gCommand)
        line += Quoted(word) + " ";
    return line + Quoted(gScheme + address);
}

// A pipe for one of the example's outputs, filled up before the example starts, so the example
// blocks at its first write until the runner drains it: an example that writes after closing its
// port has closed it while still running, which is what the runner checks. (Whatever the system
// closes when a process exits would look the same from the server's side.)
struct FullPipe {
    int read = -1, write = -1;
    size_t filler = 0; // bytes put in beforehand

    FullPipe()
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        read = ends[0];
        write = ends[1];
        const int flags = fcntl(write, F_GETFL);
        fcntl(write, F_SETFL, flags | O_NONBLOCK);
        const char block[4096] = {};
        for (ssize_t n; (n = ::write(write, block, sizeof block)) > 0;)
            filler += static_cast<size_t>(n);
        for (ssize_t n; (n = ::write(write, block, 1)) > 0;)
            filler += static_cast<size_t>(n);
        fcntl(write, F_SETFL, flags); // the example's writes block
    }
};

// Starts the example with both outputs in full pipes; once `drain` is ready, reads them to their
// ends and waits for the example to exit.
Outcome RunExample(const std::string &address, std::shared_future<void> drain)
{
    Outcome outcome;
    FullPipe out, err;
    const std::string line = CommandLine(address);
    Stopwatch clock;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out.write, 1);
        dup2(err.write, 2);
        for (int fd : {out.read, out.write, err.read, err.write})
            close(fd);
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out.write);
    close(err.write);
    drain.wait();
    std::string text[2];
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    for (int open = 2; open > 0 && poll(fds, 2, -1) > 0;) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                text[i].append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        outcome.exitStatus = WEXITSTATUS(status);
    outcome.ms = clock.Ms();
    outcome.out = text[0].substr(std::min(out.filler, text[0].size()));
    outcome.err = text[1].substr(std::min(err.filler, text[1].size()));
    return outcome;
}

enum class Server { kAnswers, kHangsUp, kResets, kAbsent };

struct Piece {
    int delayMs; // pause before sending it
    Bytes bytes;
};

struct Case {
    const char *name;
    Server server;
    std::vector<Piece> answer; // sent once the request has arrived
    int exitStatus;
    const char *out;
    const char *err; // part of what it says on standard error
};

// clang-format off
const Case kCases[] = {
    {"one piece", Server::kAnswers, {{0, Text("KV-1 ready\r\n")}}, 0, "KV-1 ready\n", ""},
    {"three pieces, 300 ms apart", Server::kAnswers,
     {{0, Text("KV-")}, {300, Text("1 re")}, {300, Text("ady\r")}}, 0, "KV-1 ready\n", ""},
    // Device servers answer the negotiation and the settings; none of it is serial data.
    {"Telnet control before the answer", Server::kAnswers,
     {{0, B({0xFF, 0xFB, 0x2C, 0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0})}, {0, Text("OK\r\n")}},
     0, "OK\n", ""},
    {"silent device", Server::kAnswers, {}, 1, "", "no answer"},
    {"answer stops before its line end", Server::kAnswers, {{0, Text("KV-1")}}, 1, "", "stopped before its line end"},
    {"server hangs up after the request", Server::kHangsUp, {}, 1, "", "connection lost"},
    {"server resets after the request", Server::kResets, {}, 1, "", "connection lost"},
    {"no server", Server::kAbsent, {}, 1, "", "no device server there"},
};
// clang-format on

TEST(Example, RunsAgainstScriptedServer)
{
    ASSERT_FALSE(gCommand.empty()) << "usage: example_runner -- COMMAND [ARGS...]";
    if (gTerminal)
        GTEST_SKIP() << "a terminal program";
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        auto server = std::make_unique<ScriptServer>();
        const std::string address = server->Address();
        if (c.server == Server::kAbsent)
            server.reset(); // nobody listens at the address any more
        std::promise<void> drain;
        std::future<Outcome> run = std::async(std::launch::async, RunExample, address, drain.get_future().share());

        if (server) {
            const Bytes wire = QueryWire();
            EXPECT_TRUE(server->WaitReceived(wire.size(), 10000));
            EXPECT_EQ(Hex(server->Received()), Hex(wire));
            for (const Piece &piece : c.answer) {
                std::this_thread::sleep_for(std::chrono::milliseconds(piece.delayMs));
                server->Send(piece.bytes);
            }
            if (c.server == Server::kHangsUp)
                server->Close();
            if (c.server == Server::kResets)
                server->Reset();
        }
        // Before the example may write its answer or its complaint, and so before it can exit.
        if (server && c.server != Server::kResets) { // (a reset left nothing to close)
            EXPECT_TRUE(server->WaitPeerClosed()) << "the example must close its port";
        }
        drain.set_value();
        Outcome outcome = run.get();
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.out, c.out);
        if (*c.err == '\0') {
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_NE(outcome.err.find(c.err), std::string::npos) << outcome.err;
        }
        if (c.answer.empty() && c.server == Server::kAnswers) { // gave the device its 2 s, no more
            EXPECT_GE(outcome.ms, 1900.0);
            EXPECT_LE(outcome.ms, 8000.0);
        }
    }
}

// A line typed in the terminal goes to the device; the device's answer shows; the exit key ends
// the program with status 0 and closes the port.
TEST(Example, EchoesALineInATerminal)
{
    if (!gTerminal)
        GTEST_SKIP() << "not a terminal program";
    if (!HaveTmux())
        GTEST_SKIP() << "tmux is not installed (Debian package tmux)";
    ScriptServer server;
    Tmux tmux("example", CommandLine(server.Address()) + "; echo $? >status\n");
    const Bytes query = QueryWire();
    const Bytes settings(query.begin(), query.end() - 4); // without the request "ID?\r"
    ASSERT_TRUE(server.WaitReceived(settings.size(), 10000)) << tmux.Screen();
    tmux.Keys("-l hello");
    tmux.Keys("Enter");
    const Bytes want = Join({settings, Text("hello\r\n")});
    EXPECT_TRUE(server.WaitReceived(want.size()));
    EXPECT_EQ(Hex(server.Received()), Hex(want));
    server.Send(Text("hello, says the device\r\n"));
    EXPECT_TRUE(tmux.Wait([&] { return tmux.Screen().find("hello, says the device") != std::string::npos; }))
        << tmux.Screen();
    tmux.Keys("C-]");
    EXPECT_TRUE(tmux.Wait([&] { return tmux.File("status") == "0\n"; })) << tmux.Screen();
    EXPECT_TRUE(server.WaitPeerClosed());
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            gCommand.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg.rfind("--scheme=", 0) == 0)
            gScheme = arg.substr(9);
        if (arg == "--terminal")
            gTerminal = true;
    }
    return RUN_ALL_TESTS();
}
