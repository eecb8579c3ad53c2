// kalvicom.dll called as a Visual Studio program calls it: msvc_caller.exe, built by clang for the
// MSVC target and linked by lld-link against kalvicom.lib, asks the scripted server for its
// identity. It lies beside this program and kalvicom.dll, in the current folder.
#include <cstdio>
#include <future>
#include <string>

#include "port_fixture.h"

TEST(MsvcCaller, AsksTheScriptedServerThroughTheImportLibrary)
{
    ScriptServer server;
    const std::string command = "msvc_caller.exe " + server.Address();
    std::future<std::pair<int, std::string>> run = std::async(std::launch::async, [&command] {
        std::string out;
        FILE *pipe = _popen(command.c_str(), "r");
        if (pipe == nullptr)
            return std::make_pair(-1, out);
        char chunk[256];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            out.append(chunk, n);
        return std::make_pair(_pclose(pipe), out);
    });

    const Bytes wire = QueryWire();
    EXPECT_TRUE(server.WaitReceived(wire.size(), 30000));
    EXPECT_EQ(Hex(server.Received()), Hex(wire));
    server.Send(Text("KV-1 ready\r\n"));
    const std::pair<int, std::string> outcome = run.get();
    EXPECT_EQ(outcome.first, 0) << "the step that failed";
    EXPECT_EQ(outcome.second, "KV-1 ready\n");
    EXPECT_TRUE(server.WaitPeerClosed());
}
