// query (C++): ask a device behind a network serial port one question and print its answer.
//
//     query_cpp ADDRESS [REQUEST]          for example:  query_cpp 127.0.0.1:2217 "ID?"
//
// The same program as query.c, written the way a C++ caller would: the port is owned by a
// std::unique_ptr that closes it, and every failed call throws. Exit status: 0 with an answer,
// 1 when anything failed, 2 for a usage error.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "kalvicom.h"

namespace
{

struct PortCloser {
    void operator()(void *port) const { KvCloseHandle(port); }
};
// An open port, closed when it goes out of scope.
using Port = std::unique_ptr<std::remove_pointer<HANDLE>::type, PortCloser>;

Port Open(const std::string &address)
{
    HANDLE handle = KvCreateFile(address.c_str());
    if (handle == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + address + " (malformed address, or no device server there)");
    return Port(handle);
}

void Check(BOOL result, const char *what)
{
    if (!result)
        throw std::runtime_error(what);
}

// Reads until a line end arrives and returns the line without it.
std::string ReadLine(const Port &port)
{
    const DWORD kMaxLine = 256;
    std::string line;
    for (;;) {
        size_t end = line.find_first_of("\r\n");
        if (end != std::string::npos)
            return line.substr(0, end);
        if (line.size() >= kMaxLine)
            throw std::runtime_error("the answer is longer than expected");
        char piece[64];
        DWORD got = 0;
        Check(KvReadFile(port.get(), piece, sizeof piece, &got), "cannot read the answer (connection lost)");
        if (got == 0)
            throw std::runtime_error(line.empty() ? "no answer" : "the answer stopped before its line end");
        line.append(piece, got);
    }
}

std::string Query(const std::string &address, const std::string &request)
{
    Port port = Open(address);

    DCB dcb = {}; // only BaudRate, ByteSize, Parity and StopBits are used
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    Check(KvSetCommState(port.get(), &dcb), "cannot set 9600 8N1");

    // "First byte" reads: return as soon as some data has arrived, or after 2 s with none.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 2000;
    Check(KvSetCommTimeouts(port.get(), &timeouts), "cannot set the time-outs");

    const std::string out = request + "\r";
    DWORD written = 0;
    Check(KvWriteFile(port.get(), out.data(), static_cast<DWORD>(out.size()), &written) && written == out.size(),
          "cannot send the request (connection lost)");
    return ReadLine(port);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: query_cpp ADDRESS [REQUEST]\n");
        return 2;
    }
    try {
        std::string answer = Query(argv[1], argc > 2 ? argv[2] : "ID?");
        std::printf("%s\n", answer.c_str());
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "query_cpp: %s\n", e.what());
        return 1;
    }
}
