// kvterm: a minimal serial terminal on a device server's port, built on the public calls alone.
//
// Opens the port, applies the line settings given, then copies standard input to the port and
// what the port receives to standard output, until the input ends (after which it keeps
// showing what arrives until the device has been quiet for half a second) or the connection ends.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kalvicom.h"
#include "term_io.h"

namespace
{

// Exit statuses, one per way of failing.
enum Status {
    kDone = 0,
    kOutputFailed = 1,      // standard input or output failed
    kUsage = 2,             // bad arguments or a malformed address
    kRefusedConnection = 3, // nobody accepted the connection
    kRefusedSetting = 4,    // a line setting was not accepted or could not be sent
    kLostConnection = 5,    // the connection ended while in use
};

const char kUsageText[] = R"(usage: kvterm ADDRESS [--baud N] [--data 5-8] [--parity none|odd|even|mark|space]
              [--stop 1|1.5|2] [--timeouts I,M,C] [--hex]

Copies standard input to the serial port at ADDRESS (A.B.C.D:PORT, a device server
speaking RFC 2217) and what the port receives to standard output, until the input ends
or the connection does.

  --baud N          baud rate (default 9600 when any line setting is given)
  --data N          data bits, 5 to 8 (default 8)
  --parity WORD     none, odd, even, mark or space (default none)
  --stop N          stop bits: 1, 1.5 or 2 (default 1)
                    Without any of these four the port keeps the server's settings.
  --timeouts I,M,C  read time-outs in ms (interval, multiplier, constant; 'max' for
                    MAXDWORD); the default returns as soon as data arrives or after 20 ms.
                    Input is sent between reads: time-outs that wait long delay it.
  --hex             show what arrives as a hex dump

Exit status: 0 done, 1 input/output error, 2 usage or bad address, 3 connection refused,
4 line setting refused, 5 connection lost.
)";

// How long the device must stay quiet after the end of input before kvterm ends.
constexpr auto kDrainQuiet = std::chrono::milliseconds(500);

struct Options {
    const char *address = nullptr;
    bool lineSettings = false; // any of --baud, --data, --parity, --stop given
    DWORD baud = 9600;
    DWORD dataBits = 8;
    BYTE parity = NOPARITY;
    BYTE stopBits = ONESTOPBIT;
    bool timeoutsGiven = false;
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 20, 0, 0}; // first byte, or 20 ms
    bool hex = false;
};

int Fail(int status, const std::string &message)
{
    std::fprintf(stderr, "kvterm: %s\n", message.c_str());
    if (status == kUsage)
        std::fprintf(stderr, "Try 'kvterm --help'.\n");
    return status;
}

// A decimal number of at most 32 bits, digits only.
bool ParseNumber(const char *text, DWORD *value)
{
    if (text == nullptr || *text == '\0')
        return false;
    unsigned long long v = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    *value = static_cast<DWORD>(v);
    return true;
}

// "A.B.C.D:PORT": four numbers 0-255 and a port 1-65535, nothing else.
bool ValidAddress(const char *text)
{
    std::string s(text);
    size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const char separator = i < 3 ? '.' : ':';
        size_t end = i < 4 ? s.find(separator, start) : s.size();
        if (end == std::string::npos || end == start || end - start > 5)
            return false;
        DWORD value = 0;
        if (!ParseNumber(s.substr(start, end - start).c_str(), &value))
            return false;
        if (i < 4 ? value > 255 : (value < 1 || value > 65535))
            return false;
        start = end + 1;
    }
    return true;
}

bool ParseTimeouts(const char *text, COMMTIMEOUTS *t)
{
    DWORD values[3];
    std::string s(text);
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t end = i < 2 ? s.find(',', start) : s.size();
        if (end == std::string::npos)
            return false;
        std::string part = s.substr(start, end - start);
        if (part == "max")
            values[i] = MAXDWORD;
        else if (!ParseNumber(part.c_str(), &values[i]))
            return false;
        start = end + 1;
    }
    t->ReadIntervalTimeout = values[0];
    t->ReadTotalTimeoutMultiplier = values[1];
    t->ReadTotalTimeoutConstant = values[2];
    return true;
}

// Returns kDone, or the status to exit with (after printing why).
int ParseOptions(int argc, char **argv, Options *o)
{
    static const char *const kParities[] = {"none", "odd", "even", "mark", "space"};
    static const char *const kStops[] = {"1", "1.5", "2"}; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsageText, stdout);
            std::exit(kDone);
        }
        if (arg == "--hex") {
            o->hex = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            if (o->address != nullptr)
                return Fail(kUsage, "more than one address: '" + arg + "'");
            o->address = argv[i];
            continue;
        }
        if (i + 1 >= argc)
            return Fail(kUsage, arg + " needs a value");
        const char *value = argv[++i];
        bool ok = false;
        if (arg == "--baud") {
            ok = ParseNumber(value, &o->baud);
            o->lineSettings = true;
        } else if (arg == "--data") {
            ok = ParseNumber(value, &o->dataBits) && o->dataBits <= 255;
            o->lineSettings = true;
        } else if (arg == "--parity") {
            for (BYTE p = 0; p < 5; ++p)
                if (std::strcmp(value, kParities[p]) == 0) {
                    o->parity = p;
                    ok = true;
                }
            o->lineSettings = true;
        } else if (arg == "--stop") {
            for (BYTE s = 0; s < 3; ++s)
                if (std::strcmp(value, kStops[s]) == 0) {
                    o->stopBits = s;
                    ok = true;
                }
            o->lineSettings = true;
        } else if (arg == "--timeouts") {
            ok = ParseTimeouts(value, &o->timeouts);
            o->timeoutsGiven = true;
        } else {
            return Fail(kUsage, "unknown option " + arg);
        }
        if (!ok)
            return Fail(kUsage, "bad value for " + arg + ": '" + value + "'");
    }
    if (o->address == nullptr)
        return Fail(kUsage, "no address given (A.B.C.D:PORT)");
    if (!ValidAddress(o->address))
        return Fail(kUsage,
                    std::string("bad address '") + o->address + "': expected A.B.C.D:PORT, for example 127.0.0.1:2217");
    return kDone;
}

// Applies the line settings; on a refusal names the first setting that did not go through.
int ApplyLineSettings(HANDLE port, const Options &o)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = o.baud;
    dcb.ByteSize = static_cast<BYTE>(o.dataBits);
    dcb.Parity = o.parity;
    dcb.StopBits = o.stopBits;
    if (KvSetCommState(port, &dcb))
        return kDone;
    DCB sent;
    std::memset(&sent, 0, sizeof sent);
    KvGetCommState(port, &sent);
    std::string which;
    if (sent.BaudRate != dcb.BaudRate)
        which = "baud rate " + std::to_string(o.baud);
    else if (sent.ByteSize != dcb.ByteSize)
        which = std::to_string(o.dataBits) + " data bits";
    else if (sent.Parity != dcb.Parity)
        which = "the parity";
    else
        which = "the stop bits";
    return Fail(kRefusedSetting,
                "line setting refused: " + which + " (not supported, or the connection failed while sending it)");
}

// Streams bytes as lines of "offset  16 hex bytes  |text|". A line is printed when it is full,
// or early when the data pauses, so what arrives shows at once.
class HexDump
{
  public:
    bool Add(const unsigned char *data, size_t size)
    {
        for (size_t i = 0; i < size; ++i) {
            line_[fill_++] = data[i];
            if (fill_ == sizeof line_ && !Flush())
                return false;
        }
        return true;
    }
    bool Flush()
    {
        if (fill_ == 0)
            return true;
        char text[100];
        int n = std::snprintf(text, sizeof text, "%08llx ", offset_);
        for (size_t i = 0; i < sizeof line_; ++i) {
            if (i == 8)
                text[n++] = ' ';
            if (i < fill_)
                n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), " %02x", line_[i]);
            else
                n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "   ");
        }
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "  |");
        for (size_t i = 0; i < fill_; ++i)
            text[n++] = line_[i] >= 0x20 && line_[i] < 0x7F ? static_cast<char>(line_[i]) : '.';
        text[n++] = '|';
        text[n++] = '\n';
        offset_ += fill_;
        fill_ = 0;
        return StdoutWrite(text, static_cast<size_t>(n));
    }

  private:
    unsigned long long offset_ = 0;
    unsigned char line_[16];
    size_t fill_ = 0;
};

int Run(HANDLE port, const Options &o)
{
    typedef std::chrono::steady_clock Clock;
    unsigned char input[4096];
    unsigned char output[4096];
    HexDump dump;
    bool inputOpen = true;
    bool idle = false;
    Clock::time_point lastData = Clock::now();
    for (;;) {
        if (inputOpen) {
            // The read below already waits when the port is quiet; wait here only if it did not.
            const int ready = StdinWait(idle && o.timeouts.ReadTotalTimeoutConstant == 0 ? 10 : 0);
            if (ready != 0) {
                const long n = ready < 0 ? -1 : StdinRead(input, sizeof input);
                if (n < 0)
                    return Fail(kOutputFailed, "cannot read standard input");
                if (n == 0) {
                    inputOpen = false;
                    lastData = Clock::now();
                } else {
                    DWORD written = 0;
                    if (!KvWriteFile(port, input, static_cast<DWORD>(n), &written))
                        return Fail(kLostConnection, "connection lost while sending");
                }
            }
        }
        DWORD got = 0;
        if (!KvReadFile(port, output, sizeof output, &got)) {
            dump.Flush();
            return Fail(kLostConnection, "connection lost (closed by the device server)");
        }
        idle = got == 0;
        if (got > 0) {
            lastData = Clock::now();
            if (!(o.hex ? dump.Add(output, got) : StdoutWrite(output, got)))
                return Fail(kOutputFailed, "cannot write standard output");
        } else if (!dump.Flush()) {
            return Fail(kOutputFailed, "cannot write standard output");
        }
        if (!inputOpen) {
            if (Clock::now() - lastData >= kDrainQuiet)
                return dump.Flush() ? kDone : Fail(kOutputFailed, "cannot write standard output");
            if (idle && o.timeouts.ReadTotalTimeoutConstant == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10)); // reads do not wait
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    TermIoStartup();
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != kDone)
        return parsed;

    HANDLE port = KvCreateFile(options.address);
    if (port == INVALID_HANDLE_VALUE)
        return Fail(kRefusedConnection, std::string("cannot connect to ") + options.address +
                                            " (refused, unreachable, or no device server there)");
    int status = kDone;
    if (options.lineSettings)
        status = ApplyLineSettings(port, options);
    if (status == kDone) {
        KvSetCommTimeouts(port, &options.timeouts);
        std::fprintf(stderr, "kvterm: connected to %s; end of input ends the session\n", options.address);
        status = Run(port, options);
    }
    KvCloseHandle(port);
    return status;
}
