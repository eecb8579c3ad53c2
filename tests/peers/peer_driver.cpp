// A port driven one command at a time, for the end-to-end runs against real device servers.
//
// Reads commands from standard input, one a line, and answers each with one line on standard
// output that starts with "ok" or "error". Only the public calls are used, the way an
// application uses them.
//
//   open ADDRESS                      KvCreateFile
//   state BAUD DATA PARITY STOP       KvSetCommState with DCB values (PARITY 0-4, STOP 0-2)
//   get                               KvGetCommState -> "ok BAUD DATA PARITY STOP"
//   timeouts I M C                    KvSetCommTimeouts
//   write HEX                         KvWriteFile -> "ok COUNT"
//   read COUNT MS                     reads until COUNT bytes arrived or MS ms passed
//                                     -> "ok HEX" (or "error HEX" when the connection ended)
//   close                             KvCloseHandle
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kalvicom.h"

static std::string ToHex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

static bool FromHex(const std::string &text, std::vector<unsigned char> *bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        bytes->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

// Reads until count bytes arrived, the connection ended, or ms milliseconds passed. Each
// KvReadFile waits at most 50 ms, so the deadline is kept here.
static bool ReadFor(HANDLE port, size_t count, long ms, std::vector<unsigned char> *out)
{
    const COMMTIMEOUTS timeouts = {0, 0, 50, 0, 0};
    KvSetCommTimeouts(port, &timeouts);
    const auto start = std::chrono::steady_clock::now();
    out->clear();
    std::vector<unsigned char> chunk(count);
    while (out->size() < count) {
        DWORD got = 0;
        if (!KvReadFile(port, chunk.data(), static_cast<DWORD>(count - out->size()), &got))
            return false;
        out->insert(out->end(), chunk.begin(), chunk.begin() + got);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() >= ms)
            break;
    }
    return true;
}

int main()
{
    HANDLE port = INVALID_HANDLE_VALUE;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string answer = "error";
        if (command == "open") {
            std::string address;
            in >> address;
            port = KvCreateFile(address.c_str());
            if (port != INVALID_HANDLE_VALUE)
                answer = "ok";
        } else if (command == "state") {
            unsigned baud = 0, data = 0, parity = 0, stop = 0;
            if (in >> baud >> data >> parity >> stop) {
                DCB dcb = {};
                dcb.DCBlength = sizeof dcb;
                dcb.BaudRate = baud;
                dcb.ByteSize = static_cast<BYTE>(data);
                dcb.Parity = static_cast<BYTE>(parity);
                dcb.StopBits = static_cast<BYTE>(stop);
                if (KvSetCommState(port, &dcb))
                    answer = "ok";
            }
        } else if (command == "get") {
            DCB dcb = {};
            if (KvGetCommState(port, &dcb))
                answer = "ok " + std::to_string(dcb.BaudRate) + " " + std::to_string(dcb.ByteSize) + " " +
                         std::to_string(dcb.Parity) + " " + std::to_string(dcb.StopBits);
        } else if (command == "timeouts") {
            COMMTIMEOUTS t = {};
            if (in >> t.ReadIntervalTimeout >> t.ReadTotalTimeoutMultiplier >> t.ReadTotalTimeoutConstant &&
                KvSetCommTimeouts(port, &t))
                answer = "ok";
        } else if (command == "write") {
            std::string hex;
            in >> hex;
            std::vector<unsigned char> data;
            DWORD written = 0;
            if (FromHex(hex, &data) && KvWriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written))
                answer = "ok " + std::to_string(written);
        } else if (command == "read") {
            size_t count = 0;
            long ms = 0;
            if (in >> count >> ms) {
                std::vector<unsigned char> data;
                const bool alive = ReadFor(port, count, ms, &data);
                answer = (alive ? "ok " : "error ") + ToHex(data);
            }
        } else if (command == "close") {
            KvCloseHandle(port);
            port = INVALID_HANDLE_VALUE;
            answer = "ok";
        }
        std::cout << answer << std::endl;
    }
    if (port != INVALID_HANDLE_VALUE)
        KvCloseHandle(port);
    return 0;
}
