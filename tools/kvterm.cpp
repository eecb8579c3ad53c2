// kvterm: a serial terminal on a device server's port, built on the library's public calls.
//
// With a terminal on standard input it is interactive: keys go to the device as typed, what
// arrives is shown with control bytes made visible, Ctrl-T opens a menu and Ctrl-] leaves.
// Otherwise (pipe mode) it copies standard input to the port and what the port receives to
// standard output. docs/kvterm.md is its manual.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "kalvicom.h"
#include "port/address.h"    // the library's own address grammar, compiled in
#include "port/baud_rates.h" // and its list of baud rates
#include "term_io.h"

namespace
{

// Exit statuses, one per way of failing.
enum Status {
    kDone = 0,
    kOutputFailed = 1,      // standard input or output failed
    kUsage = 2,             // bad arguments or a malformed address; nothing was connected
    kRefusedConnection = 3, // nobody accepted the connection
    kRefusedSetting = 4,    // the line settings could not be sent
    kLostConnection = 5,    // the connection ended (closed, or a read or write failed) while in use
    kContinue = -1,         // not an exit status: the session goes on
};

const char kUsageText[] = R"(usage: kvterm ADDRESS [options]

A serial terminal on a port of a network serial device server (RFC 2217). ADDRESS is the
server's IPv4 address and TCP port, A.B.C.D:PORT.

With a terminal on standard input kvterm is interactive: each key goes to the device as it is
typed, Enter as the end of line chosen with --eol, Ctrl-C as 0x03. Ctrl-] leaves; Ctrl-T then
a letter opens the menu (Ctrl-T ? lists it). Otherwise kvterm copies standard input to the
port and what the port receives to standard output, unchanged.

Line settings (checked before connecting; the ones not given are completed from 9600 8N1;
without any of them the port keeps the server's settings):
  -b, --baud N          50 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200
                        38400 57600 115200
  -d, --data N          data bits, 5 to 8
  -p, --parity WORD     none, odd, even, mark or space (or n, o, e, m, s)
  -s, --stop N          stop bits: 1, 2, or 1.5 (with 5 data bits only; 2 needs 6 or more)
Interactive mode:
  -e, --echo            show what is typed (local echo)
      --eol cr|lf|crlf  what Enter sends (default cr)
      --raw             show every byte unchanged (control bytes too)
Pipe mode:
      --wait SECONDS    go on showing what arrives for this long after the input ends
                        (default 0.5; counted from the last byte)
      --listen          ignore the input; show what arrives until the connection ends or
                        Ctrl-C (status 0)
Both:
  -x, --hex             show what arrives as a hex dump
      --timeouts I,M,C  read time-outs in ms (interval, multiplier, constant; 'max' for
                        MAXDWORD); the default returns as soon as data arrives or after
                        20 ms. Input is sent between reads: time-outs that wait long delay it.
  -h, --help            this text
      --version         kvterm's version
Values go as --baud 9600, --baud=9600, -b 9600 or -b9600.

Examples:
  kvterm 192.168.1.20:2217 -b 115200              talk to a device at 115200 8N1
  kvterm 192.168.1.20:2217 -b 9600 -p even --eol crlf
  printf 'ID?\r' | kvterm 192.168.1.20:2217 --wait 2     ask once, show the answer
  kvterm 192.168.1.20:2217 --listen --hex > log.txt      record what the device sends

Exit status: 0 done (Ctrl-], end of input, Ctrl-C in pipe mode, SIGTERM, SIGHUP),
1 input/output error, 2 usage error or bad address (nothing connected), 3 connection
refused, 4 line settings not sent, 5 connection lost.
)";

constexpr unsigned char kExitKey = 0x1D; // Ctrl-]
constexpr unsigned char kMenuKey = 0x14; // Ctrl-T

const char kMenuText[] = "menu: Ctrl-T then b baud rate, d data bits, p parity, s stop bits, h hex view,\r\n"
                         "      i line settings, e local echo, ? this list, Ctrl-T sends one Ctrl-T";

// DCB Parity and StopBits values index these.
const char *const kParityWords[] = {"none", "odd", "even", "mark", "space"};
const char kParityLetters[] = "NOEMS";
const char *const kStopWords[] = {"1", "1.5", "2"};

struct Line {
    DWORD baud = 9600;
    DWORD dataBits = 8;
    BYTE parity = NOPARITY;
    BYTE stopBits = ONESTOPBIT;
};

// "9600 8E1", "300 5N1.5".
std::string Describe(const Line &line)
{
    return std::to_string(line.baud) + " " + std::to_string(line.dataBits) + kParityLetters[line.parity] +
           kStopWords[line.stopBits];
}

// Why a UART cannot run this combination, or nullptr when it can.
const char *LineProblem(const Line &line)
{
    if (line.stopBits == ONE5STOPBITS && line.dataBits != 5)
        return "1.5 stop bits go with 5 data bits only";
    if (line.stopBits == TWOSTOPBITS && line.dataBits == 5)
        return "5 data bits take 1 or 1.5 stop bits, not 2";
    return nullptr;
}

struct Options {
    const char *address = nullptr;
    bool lineGiven = false; // any of the four line settings given
    Line line;
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 20, 0, 0}; // first byte, or 20 ms
    bool hex = false;
    bool raw = false;
    bool echo = false;
    std::string eol = "\r";
    int waitMs = 500;
    bool listen = false;
    bool help = false;
    bool version = false;
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
    if (*text == '\0')
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

// Seconds as digits with up to three decimals ("0.5", "2"), at most a day, in milliseconds.
bool ParseSeconds(const char *text, int *ms)
{
    const std::string s(text);
    const size_t dot = s.find('.');
    const std::string whole = s.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "0" : s.substr(dot + 1);
    DWORD seconds = 0, thousandths = 0;
    if (whole.size() > 5 || fraction.empty() || fraction.size() > 3 || !ParseNumber(whole.c_str(), &seconds) ||
        !ParseNumber(fraction.c_str(), &thousandths) || seconds > 86400)
        return false;
    fraction.resize(3, '0');
    ParseNumber(fraction.c_str(), &thousandths);
    *ms = static_cast<int>(seconds * 1000 + thousandths);
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

// The index of text in words (or, with letters, of its first letter alone), or -1.
int FindWord(const char *text, const char *const *words, int count, const char *letters = nullptr)
{
    for (int i = 0; i < count; ++i)
        if (std::strcmp(text, words[i]) == 0 || (letters != nullptr && text[0] != '\0' && text[1] == '\0' &&
                                                 (text[0] == letters[i] || text[0] == letters[i] + 32)))
            return i;
    return -1;
}

bool SetParity(Options *o, const char *value)
{
    const int p = FindWord(value, kParityWords, 5, kParityLetters);
    o->line.parity = static_cast<BYTE>(p);
    o->lineGiven = true;
    return p >= 0;
}

bool SetStopBits(Options *o, const char *value)
{
    const int s = FindWord(value, kStopWords, 3);
    o->line.stopBits = static_cast<BYTE>(s);
    o->lineGiven = true;
    return s >= 0;
}

bool SetEol(Options *o, const char *value)
{
    static const char *const words[] = {"cr", "lf", "crlf"};
    static const char *const eols[] = {"\r", "\n", "\r\n"};
    const int e = FindWord(value, words, 3);
    if (e >= 0)
        o->eol = eols[e];
    return e >= 0;
}

struct OptionSpec {
    const char *name; // the long form, without "--"
    char letter;      // the short form, or 0
    bool takesValue;
    bool (*apply)(Options *o, const char *value); // false: a bad value
};

const OptionSpec kOptions[] = {
    {"baud", 'b', true,
     [](Options *o, const char *v) {
         o->lineGiven = true;
         return ParseNumber(v, &o->line.baud) && IsAcceptedBaudRate(o->line.baud);
     }},
    {"data", 'd', true,
     [](Options *o, const char *v) {
         o->lineGiven = true;
         return ParseNumber(v, &o->line.dataBits) && o->line.dataBits >= 5 && o->line.dataBits <= 8;
     }},
    {"parity", 'p', true, SetParity},
    {"stop", 's', true, SetStopBits},
    {"echo", 'e', false, [](Options *o, const char *) { return o->echo = true; }},
    {"eol", 0, true, SetEol},
    {"raw", 0, false, [](Options *o, const char *) { return o->raw = true; }},
    {"hex", 'x', false, [](Options *o, const char *) { return o->hex = true; }},
    {"wait", 0, true, [](Options *o, const char *v) { return ParseSeconds(v, &o->waitMs); }},
    {"listen", 0, false, [](Options *o, const char *) { return o->listen = true; }},
    {"timeouts", 0, true, [](Options *o, const char *v) { return ParseTimeouts(v, &o->timeouts); }},
    {"help", 'h', false, [](Options *o, const char *) { return o->help = true; }},
    {"version", 0, false, [](Options *o, const char *) { return o->version = true; }},
};

// An option starts with '-' and a letter or a second '-'; "+1.2.3.4:5" and the like are addresses.
bool IsOption(const char *arg)
{
    return arg[0] == '-' && arg[1] != '\0' && (arg[1] < '0' || arg[1] > '9');
}

// Reads every argument and checks every value, before anything is connected. Returns kDone, or
// the status to exit with (after printing why).
int ParseOptions(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!IsOption(arg)) {
            if (o->address != nullptr)
                return Fail(kUsage, std::string("more than one address: '") + arg + "'");
            o->address = arg;
            continue;
        }
        const char *inlineValue = nullptr; // "--baud=9600" or "-b9600"
        const OptionSpec *spec = nullptr;
        for (const OptionSpec &s : kOptions) {
            if (arg[1] == '-') {
                const size_t n = std::strlen(s.name);
                if (std::strncmp(arg + 2, s.name, n) == 0 && (arg[2 + n] == '\0' || arg[2 + n] == '=')) {
                    spec = &s;
                    inlineValue = arg[2 + n] == '=' ? arg + 3 + n : nullptr;
                }
            } else if (s.letter != 0 && arg[1] == s.letter && (s.takesValue || arg[2] == '\0')) {
                spec = &s;
                inlineValue = arg[2] != '\0' ? arg + 2 : nullptr;
            }
        }
        if (spec == nullptr)
            return Fail(kUsage, std::string("unknown option ") + arg);
        const std::string name = std::string("--") + spec->name;
        if (!spec->takesValue && inlineValue != nullptr)
            return Fail(kUsage, name + " takes no value");
        const char *value = inlineValue;
        if (spec->takesValue && value == nullptr) {
            if (i + 1 >= argc)
                return Fail(kUsage, name + " needs a value");
            value = argv[++i];
        }
        if (!spec->apply(o, value))
            return Fail(kUsage, "bad value for " + name + ": '" + value + "'");
        if (o->help || o->version)
            return kDone; // shown at once, whatever else is on the line
    }
    if (o->address == nullptr)
        return Fail(kUsage, "no address given (A.B.C.D:PORT)");
    uint8_t host[4];
    uint32_t port = 0;
    if (!ParseAddress(o->address, host, &port) || port == 0)
        return Fail(kUsage, std::string("bad address '") + o->address +
                                "': expected A.B.C.D:PORT with a port from 1 to 65535, for example 127.0.0.1:2217");
    if (o->lineGiven && LineProblem(o->line) != nullptr)
        return Fail(kUsage, std::string("these line settings do not go together: ") + LineProblem(o->line));
    return kDone;
}

// Sends all four line settings. Returns whether they went out.
bool SendLine(HANDLE port, const Line &line)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = line.baud;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    return KvSetCommState(port, &dcb) != 0;
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

// Text with the non-printing control bytes made visible as ^A ... ^_ and ^?; CR, LF, TAB and BS
// pass, and so do bytes from 0x80 up (UTF-8 text).
std::string Visible(const unsigned char *data, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const unsigned char b = data[i];
        if ((b < 0x20 && b != '\r' && b != '\n' && b != '\t' && b != '\b') || b == 0x7F) {
            out += '^';
            out += static_cast<char>(b ^ 0x40);
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

// Shows what the port receives: unchanged, as visible text, or as a hex dump.
class Screen
{
  public:
    Screen(bool visible, bool hex) : visible_(visible), hex_(hex) {}
    bool Show(const unsigned char *data, size_t size)
    {
        if (hex_)
            return dump_.Add(data, size);
        if (!visible_)
            return StdoutWrite(data, size);
        const std::string text = Visible(data, size);
        return StdoutWrite(text.data(), text.size());
    }
    bool Pause() { return dump_.Flush(); } // the data paused: show a partial dump line
    bool ToggleHex()
    {
        hex_ = !hex_;
        return dump_.Flush();
    }

  private:
    bool visible_;
    bool hex_;
    HexDump dump_;
};

// A line of kvterm's own among the device's output in interactive mode.
void Say(const std::string &message)
{
    std::fprintf(stderr, "\r\nkvterm: %s\r\n", message.c_str());
}

// The keys typed in interactive mode: each goes to the device as typed, Enter as the chosen end
// of line; Ctrl-] leaves and Ctrl-T starts a menu command.
class Keyboard
{
  public:
    Keyboard(HANDLE port, const Options &o, Screen *screen)
        : port_(port), options_(o), screen_(screen), line_(o.line), echo_(o.echo)
    {
    }

    // Handles what was typed. Returns kContinue, kDone (the exit key) or kLostConnection.
    int Typed(const unsigned char *keys, size_t size)
    {
        int status = kContinue;
        for (size_t i = 0; i < size && status == kContinue; ++i) {
            const unsigned char key = keys[i];
            if (mode_ == kBaudPrompt) {
                status = BaudPromptKey(key);
            } else if (mode_ == kMenu) {
                mode_ = kKeys;
                if (key == kMenuKey)
                    pending_ += static_cast<char>(key);
                else
                    status = MenuCommand(key);
            } else if (key == kExitKey) {
                status = kDone;
            } else if (key == kMenuKey) {
                mode_ = kMenu;
            } else if (key == '\r' || key == '\n') {
                pending_ += options_.eol;
            } else {
                pending_ += static_cast<char>(key);
            }
        }
        return SendPending() ? status : kLostConnection;
    }

  private:
    enum Mode { kKeys, kMenu, kBaudPrompt };

    // Sends the keys typed so far, showing them too with local echo on.
    bool SendPending()
    {
        if (pending_.empty())
            return true;
        DWORD written = 0;
        if (!KvWriteFile(port_, pending_.data(), static_cast<DWORD>(pending_.size()), &written))
            return false;
        if (echo_) {
            const std::string shown =
                Visible(reinterpret_cast<const unsigned char *>(pending_.data()), pending_.size());
            StdoutWrite(shown.data(), shown.size());
        }
        pending_.clear();
        return true;
    }

    // Sends line, after the keys typed before the command.
    int Apply(const Line &line)
    {
        if (!SendPending())
            return kLostConnection;
        if (!SendLine(port_, line)) {
            Say("line settings " + Describe(line) + " not sent");
            return kContinue; // a lost connection ends the session at the next read
        }
        line_ = line;
        Say("line settings sent: " + Describe(line));
        return kContinue;
    }

    int MenuCommand(unsigned char key)
    {
        Line next = line_;
        switch (key) {
        case 'b':
            mode_ = kBaudPrompt;
            baudText_.clear();
            std::fprintf(stderr, "\r\nkvterm: baud rate (Enter sets it, Esc cancels): ");
            return kContinue;
        case 'd': // 5 to 8; 2 stop bits become 1.5 at 5 data bits and back
            next.dataBits = next.dataBits >= 8 ? 5 : next.dataBits + 1;
            if (next.stopBits != ONESTOPBIT)
                next.stopBits = next.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
            return Apply(next);
        case 'p':
            next.parity = static_cast<BYTE>((next.parity + 1) % 5);
            return Apply(next);
        case 's':
            next.stopBits = next.stopBits != ONESTOPBIT ? ONESTOPBIT : next.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
            return Apply(next);
        case 'h':
            screen_->ToggleHex();
            return kContinue;
        case 'e':
            echo_ = !echo_;
            Say(echo_ ? "local echo on" : "local echo off");
            return kContinue;
        case 'i': {
            DCB dcb;
            std::memset(&dcb, 0, sizeof dcb);
            KvGetCommState(port_, &dcb);
            std::string line = "the server's own (none sent yet)";
            if (dcb.BaudRate != 0 && dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS) {
                const Line sent = {dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
                line = Describe(sent);
            }
            Say(std::string("connected to ") + options_.address + ", line settings " + line);
            return kContinue;
        }
        case '?':
            Say(kMenuText);
            return kContinue;
        default:
            Say("no such menu command (Ctrl-T ? lists them)");
            return kContinue;
        }
    }

    int BaudPromptKey(unsigned char key)
    {
        if (key >= '0' && key <= '9' && baudText_.size() < 9) {
            baudText_ += static_cast<char>(key);
            std::fputc(key, stderr);
        } else if ((key == 0x7F || key == '\b') && !baudText_.empty()) {
            baudText_.pop_back();
            std::fputs("\b \b", stderr);
        } else if (key == 0x1B || key == kMenuKey || key == kExitKey) {
            mode_ = kKeys;
            Say("baud rate unchanged");
        } else if (key == '\r' || key == '\n') {
            mode_ = kKeys;
            Line next = line_;
            if (ParseNumber(baudText_.c_str(), &next.baud) && IsAcceptedBaudRate(next.baud))
                return Apply(next);
            Say("'" + baudText_ + "' is not a baud rate the library takes (50 to 115200, the usual ones)");
        }
        return kContinue;
    }

    HANDLE port_;
    const Options &options_;
    Screen *screen_;
    Line line_; // what the menu changes: as given, or 9600 8N1
    bool echo_;
    Mode mode_ = kKeys;
    std::string baudText_;
    std::string pending_; // keys for the device, sent once per batch of input
};

// The session: input to the port (through keyboard in interactive mode), the port to the screen,
// until the exit key, the end of the input (then showing what arrives for o.waitMs more), a stop
// request, or the end of the connection.
int Run(HANDLE port, const Options &o, Screen *screen, Keyboard *keyboard)
{
    typedef std::chrono::steady_clock Clock;
    unsigned char input[4096];
    unsigned char output[4096];
    const bool readsWait = o.timeouts.ReadTotalTimeoutConstant != 0;
    bool inputOpen = !o.listen;
    bool idle = false;
    Clock::time_point lastData = Clock::now();
    for (;;) {
        if (StopRequested())
            return screen->Pause() ? kDone : kOutputFailed;
        if (inputOpen) {
            // The read below already waits when the port is quiet; wait here only if it did not.
            const int ready = StdinWait(idle && !readsWait ? 10 : 0);
            if (ready != 0) {
                const long n = ready < 0 ? -1 : StdinRead(input, sizeof input);
                if (n < 0)
                    return Fail(kOutputFailed, "cannot read standard input");
                if (n == 0) {
                    inputOpen = false;
                    lastData = Clock::now();
                } else if (keyboard != nullptr) {
                    const int status = keyboard->Typed(input, static_cast<size_t>(n));
                    if (status == kLostConnection)
                        return Fail(kLostConnection, "connection lost while sending");
                    if (status != kContinue)
                        return screen->Pause() ? status : kOutputFailed;
                } else {
                    DWORD written = 0;
                    if (!KvWriteFile(port, input, static_cast<DWORD>(n), &written))
                        return Fail(kLostConnection, "connection lost while sending");
                }
            }
        }
        DWORD got = 0;
        if (!KvReadFile(port, output, sizeof output, &got)) {
            screen->Pause();
            return Fail(kLostConnection, "connection lost (closed by the device server, or it stopped answering)");
        }
        idle = got == 0;
        if (!(got > 0 ? screen->Show(output, got) : screen->Pause()))
            return Fail(kOutputFailed, "cannot write standard output");
        if (got > 0)
            lastData = Clock::now();
        if (!inputOpen && !o.listen && Clock::now() - lastData >= std::chrono::milliseconds(o.waitMs))
            return kDone;
        if (!inputOpen && idle && !readsWait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // reads do not wait
    }
}

// Raw mode for as long as it lives.
class RawTerminal
{
  public:
    RawTerminal() : ok_(TerminalRawStart()) {}
    ~RawTerminal() { TerminalRestore(); }
    bool Ok() const { return ok_; }

  private:
    bool ok_;
};

int Session(const Options &o, bool interactive)
{
    HANDLE port = KvCreateFile(o.address);
    if (port == INVALID_HANDLE_VALUE)
        return Fail(kRefusedConnection, std::string("cannot connect to ") + o.address +
                                            " (refused, unreachable, or no device server there)");
    int status = kDone;
    if (o.lineGiven) {
        if (SendLine(port, o.line))
            std::fprintf(stderr, "kvterm: line settings sent: %s%s", Describe(o.line).c_str(),
                         interactive ? "\r\n" : "\n");
        else
            status = Fail(kRefusedSetting, "line settings " + Describe(o.line) + " not sent (the connection failed)");
    }
    if (status == kDone) {
        KvSetCommTimeouts(port, &o.timeouts);
        Screen screen(interactive && !o.raw, o.hex);
        if (interactive) {
            std::fprintf(stderr, "kvterm: connected to %s. Ctrl-] leaves, Ctrl-T ? shows the menu.\r\n", o.address);
            Keyboard keyboard(port, o, &screen);
            status = Run(port, o, &screen, &keyboard);
        } else {
            std::fprintf(stderr, "kvterm: connected to %s; %s\n", o.address,
                         o.listen ? "showing what arrives until Ctrl-C" : "end of input ends the session");
            status = Run(port, o, &screen, nullptr);
        }
    }
    KvCloseHandle(port);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    TermIoStartup();
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != kDone)
        return parsed;
    if (options.help || options.version) {
        std::fputs(options.help ? kUsageText : "kvterm " KVTERM_VERSION " (kalvicom)\n", stdout);
        return kDone;
    }
    if (options.listen || !StdinIsTerminal())
        return Session(options, false);
    // Raw mode before connecting: keys typed from the moment the connection is made go as typed.
    RawTerminal terminal;
    if (!terminal.Ok())
        return Fail(kOutputFailed, "cannot put the terminal into raw mode");
    return Session(options, true);
}
