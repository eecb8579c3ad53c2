// A short run over every call, successful and failing, for a leak checker to watch (CTest runs it
// under valgrind): ports opened and closed, data both ways, line settings, a server that resets,
// refused and malformed opens. Exits 0 when every call gave its expected result.
#include <cstdio>
#include <string>

#include "kalvicom.h"
#include "script_server.h"

static int failures = 0;

static void Check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main()
{
    const std::string refused = RefusedAddress();
    ScriptServer server;
    for (int i = 0; i < 20; ++i) {
        HANDLE port = KvCreateFile(server.Address().c_str());
        Check(port != INVALID_HANDLE_VALUE, "open");
        DWORD n = 0;
        const uint8_t out[] = {0x41, 0xFF, 0x42};
        Check(KvWriteFile(port, out, sizeof out, &n) == 1 && n == 3, "write");
        server.Send(B({0xFF, 0xFB, 0x01, 0x43, 0xFF, 0xFF, 0xFF, 0xFA, 0x2C, 0x07, 0xFF, 0xF0, 0x44}));
        COMMTIMEOUTS t = {0, 0, 2000, 0, 0};
        Check(KvSetCommTimeouts(port, &t) == 1, "time-outs");
        uint8_t in[3];
        Check(KvReadFile(port, in, sizeof in, &n) == 1 && n == 3, "read");
        DCB dcb = {};
        dcb.BaudRate = 9600 * (1 + i % 2);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        Check(KvSetCommState(port, &dcb) == 1, "line settings");
        Check(KvGetCommState(port, &dcb) == 1, "line report");
        if (i % 5 == 4) {
            server.Reset();
            Check(KvReadFile(port, in, sizeof in, &n) == 0, "read after a reset");
        }
        KvCloseHandle(port);
        Check(KvCreateFile(refused.c_str()) == INVALID_HANDLE_VALUE, "refused open");
        Check(KvCreateFile("127.0.0.1:70000") == INVALID_HANDLE_VALUE, "malformed open");
    }
    return failures == 0 ? 0 : 1;
}
