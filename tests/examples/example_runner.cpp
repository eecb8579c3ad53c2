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
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
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

Outcome RunExample(const std::string &address)
{
    const std::string errors = testing::TempDir() + "example-stderr-" + std::to_string(getpid());
    std::string line = CommandLine(address) + " 2>" + Quoted(errors);
    Outcome outcome;
    Stopwatch clock;
    FILE *pipe = popen(line.c_str(), "r");
    if (pipe == nullptr)
        return outcome;
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        outcome.out.append(chunk, n);
    int status = pclose(pipe);
    outcome.ms = clock.Ms();
    if (status != -1 && WIFEXITED(status))
        outcome.exitStatus = WEXITSTATUS(status);
    std::ostringstream err;
    err << std::ifstream(errors).rdbuf();
    outcome.err = err.str();
    std::remove(errors.c_str());
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
        std::future<Outcome> run = std::async(std::launch::async, RunExample, address);

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
        if (server && c.server != Server::kResets) { // the example closed its port (a reset left nothing to close)
            EXPECT_TRUE(server->WaitPeerClosed());
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
