// Runs one example program against the scripted device server, in the situations a caller meets:
// an answer in one piece or in several, a silent device, a device that stops mid-line, a server
// that hangs up, and no server at all.
//
//     example_runner [gtest flags] -- COMMAND [ARGS...]
//
// The server's address is added as the last argument. The example must put exactly "9600 8N1"
// and its request on the wire, print the answer line on success and exit with 1 on any failure.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port_fixture.h"

namespace
{

std::vector<std::string> gCommand;

struct Outcome {
    int exitStatus = -1; // -1 when the program did not exit normally
    std::string out;     // what it printed on standard output
    double ms = 0;       // how long it ran
};

std::string Quoted(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Outcome RunExample(const std::string &address)
{
    std::string line;
    for (const std::string &word : gCommand)
        line += Quoted(word) + " ";
    line += Quoted(address);
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
    return outcome;
}

enum class Server { kAnswers, kHangsUp, kAbsent };

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
};

// clang-format off
const Case kCases[] = {
    {"one piece", Server::kAnswers, {{0, Text("KV-1 ready\r\n")}}, 0, "KV-1 ready\n"},
    {"three pieces, 300 ms apart", Server::kAnswers,
     {{0, Text("KV-")}, {300, Text("1 re")}, {300, Text("ady\r")}}, 0, "KV-1 ready\n"},
    // Device servers answer the negotiation and the settings; none of it is serial data.
    {"Telnet control before the answer", Server::kAnswers,
     {{0, B({0xFF, 0xFB, 0x2C, 0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0})}, {0, Text("OK\n")}},
     0, "OK\n"},
    {"silent device", Server::kAnswers, {}, 1, ""},
    {"answer stops before its line end", Server::kAnswers, {{0, Text("KV-1")}}, 1, ""},
    {"server hangs up after the request", Server::kHangsUp, {}, 1, ""},
    {"no server", Server::kAbsent, {}, 1, ""},
};
// clang-format on

TEST(Example, RunsAgainstScriptedServer)
{
    ASSERT_FALSE(gCommand.empty()) << "usage: example_runner -- COMMAND [ARGS...]";
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
        }
        Outcome outcome = run.get();
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.out, c.out);
        if (c.answer.empty() && c.server == Server::kAnswers) { // gave the device its 2 s
            EXPECT_GE(outcome.ms, 1900.0);
        }
        if (server) { // the example closed its port
            EXPECT_TRUE(server->WaitPeerClosed());
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            gCommand.assign(argv + i + 1, argv + argc);
            break;
        }
    }
    return RUN_ALL_TESTS();
}
