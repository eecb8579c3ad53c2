// kvterm's options: the help text, the table of options, and the checks of every value.
#include "options.h"

#include <cstring>

#include "port/address.h"    // the library's own address grammar, compiled in
#include "port/baud_rates.h" // and its list of baud rates

namespace
{

const char kUsageText[] = R"(usage: kvterm ADDRESS [options]

A serial terminal on a port of a network serial device server (RFC 2217). ADDRESS is the
server's IPv4 address and TCP port, A.B.C.D:PORT (host names are not accepted).

With a terminal on standard input kvterm is interactive: each key goes to the device as it is
typed, Enter as the end of line chosen with --eol, Ctrl-C as 0x03. Ctrl-] leaves; Ctrl-T then
a letter opens the menu (listed below; Ctrl-T ? lists it too). Otherwise kvterm copies standard
input to the port and what the port receives to standard output, unchanged.

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
      --imap cr|lf|crlf|none
                        the line end the device sends, shown as a new line: cr turns each
                        CR into CR LF, lf each LF; crlf and none (the default) show the
                        bytes as they come
      --timestamps      put the local time (HH:MM:SS.mmm) before each line that arrives, on
                        the screen and in the log
      --log FILE        append everything that arrives to FILE: the bytes as received, or
                        the hex dump while the hex view is on
      --reconnect       when the connection is lost or cannot be made, say so, try again
                        every second (backing off to every 5 s), send the line settings in
                        force again and go on; Ctrl-] leaves meanwhile
      --timeouts I,M,C  read time-outs in ms (interval, multiplier, constant; 'max' for
                        MAXDWORD); the default returns as soon as data arrives or after
                        20 ms. Input is sent between reads: time-outs that wait long delay it.
  -h, --help            this text
      --version         kvterm's version
Values go as --baud 9600, --baud=9600, -b 9600 or -b9600.

Menu (interactive, Ctrl-T then one key):
  b                     ask for a baud rate (Enter sets it, Esc cancels)
  d                     step the data bits: 5, 6, 7, 8
  p                     step the parity: none, odd, even, mark, space
  s                     step the stop bits: 1 and 2 (1 and 1.5 at 5 data bits)
  h                     hex view on or off
  t                     timestamps on or off
  m                     step the line end shown as a new line: none, cr, lf, crlf
  u                     send a file: type its path, then Enter; its bytes go unchanged
                        (Ctrl-C stops the sending)
  e                     local echo on or off
  i                     the line settings last sent
  ?                     the menu
  Ctrl-T                one Ctrl-T to the device

Examples:
  kvterm 192.168.1.20:2217 -b 115200              talk to a device at 115200 8N1
  kvterm 192.168.1.20:2217 -b 9600 -p even --eol crlf --imap cr
  printf 'ID?\r' | kvterm 192.168.1.20:2217 --wait 2     ask once, show the answer
  kvterm 192.168.1.20:2217 --listen --hex > log.txt      record what the device sends
  kvterm 192.168.1.20:2217 --reconnect --timestamps --log session.log

Exit status: 0 done (Ctrl-], end of input, Ctrl-C in pipe mode, SIGTERM, SIGHUP),
1 input/output error (the log too), 2 usage error or bad address (nothing connected),
3 connection refused (or the server busy), 4 line settings not sent, 5 connection lost
(never 3, 4 or 5 with --reconnect while the input is open).
)";

// DCB Parity and StopBits values index these.
const char *const kParityWords[] = {"none", "odd", "even", "mark", "space"};
const char kParityLetters[] = "NOEMS";
const char *const kStopWords[] = {"1", "1.5", "2"};
const char *const kLineEndWords[] = {"none", "cr", "lf", "crlf"};

// Why a UART cannot run this combination, or nullptr when it can.
const char *LineProblem(const Line &line)
{
    if (line.stopBits == ONE5STOPBITS && line.dataBits != 5)
        return "1.5 stop bits go with 5 data bits only";
    if (line.stopBits == TWOSTOPBITS && line.dataBits == 5)
        return "5 data bits take 1 or 1.5 stop bits, not 2";
    return nullptr;
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
    static const char *const eols[] = {"\r", "\n", "\r\n"};
    const int e = FindWord(value, kLineEndWords + 1, 3);
    if (e >= 0)
        o->eol = eols[e];
    return e >= 0;
}

bool SetImap(Options *o, const char *value)
{
    o->imap = FindWord(value, kLineEndWords, kLineEndCount);
    return o->imap >= 0;
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
    {"imap", 0, true, SetImap},
    {"timestamps", 0, false, [](Options *o, const char *) { return o->timestamps = true; }},
    {"log", 0, true, [](Options *o, const char *v) { return *(o->logPath = v) != '\0'; }},
    {"reconnect", 0, false, [](Options *o, const char *) { return o->reconnect = true; }},
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

// Why the address text is refused: letters before the colon make it a host name.
std::string AddressProblem(const char *address)
{
    const std::string text(address);
    const std::string host = text.substr(0, text.find(':'));
    for (char c : host)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            return "bad address '" + text + "': host names are not accepted: give the device server's IPv4 address";
    return "bad address '" + text + "': expected A.B.C.D:PORT with a port from 1 to 65535, for example 127.0.0.1:2217";
}

int Refuse(std::string *said, const std::string &why)
{
    *said = why;
    return kUsage;
}

} // namespace

std::string Describe(const Line &line)
{
    return std::to_string(line.baud) + " " + std::to_string(line.dataBits) + kParityLetters[line.parity] +
           kStopWords[line.stopBits];
}

const char *LineEndWord(int lineEnd)
{
    return kLineEndWords[lineEnd];
}

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

int ParseOptions(int argc, char **argv, Options *o, std::string *said)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!IsOption(arg)) {
            if (o->address != nullptr)
                return Refuse(said, std::string("more than one address: '") + arg + "'");
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
            return Refuse(said, std::string("unknown option ") + arg);
        const std::string name = std::string("--") + spec->name;
        if (!spec->takesValue && inlineValue != nullptr)
            return Refuse(said, name + " takes no value");
        const char *value = inlineValue;
        if (spec->takesValue && value == nullptr) {
            if (i + 1 >= argc)
                return Refuse(said, name + " needs a value");
            value = argv[++i];
        }
        if (!spec->apply(o, value))
            return Refuse(said, "bad value for " + name + ": '" + value + "'");
        if (o->help || o->version) { // shown at once, whatever else is on the line
            *said = o->help ? kUsageText : "kvterm " KVTERM_VERSION " (kalvicom)\n";
            return kDone;
        }
    }
    if (o->address == nullptr)
        return Refuse(said, "no address given (A.B.C.D:PORT)");
    uint8_t host[4];
    uint32_t port = 0;
    if (!ParseAddress(o->address, host, &port) || port == 0)
        return Refuse(said, AddressProblem(o->address));
    if (o->lineGiven && LineProblem(o->line) != nullptr)
        return Refuse(said, std::string("these line settings do not go together: ") + LineProblem(o->line));
    return kContinue;
}
