// kvterm's command line: every option read and every value checked before anything connects.
#ifndef KALVICOM_TOOLS_OPTIONS_H
#define KALVICOM_TOOLS_OPTIONS_H

#include <string>

#include "exit_status.h"
#include "kalvicom.h"

// The four line settings; DCB Parity and StopBits values.
struct Line {
    DWORD baud = 9600;
    DWORD dataBits = 8;
    BYTE parity = NOPARITY;
    BYTE stopBits = ONESTOPBIT;
};

// "9600 8E1", "300 5N1.5".
std::string Describe(const Line &line);

// The line end a device sends, which the screen shows as a new line (CR LF).
enum LineEnd { kAsItComes, kEndCr, kEndLf, kEndCrLf };
const int kLineEndCount = 4;
// "none", "cr", "lf", "crlf", as --imap takes them.
const char *LineEndWord(int lineEnd);

struct Options {
    const char *address = nullptr;
    bool lineGiven = false; // any of the four line settings given
    Line line;
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 20, 0, 0}; // first byte, or 20 ms
    bool hex = false;
    bool raw = false;
    bool echo = false;
    std::string eol = "\r";
    int imap = kAsItComes;
    const char *logPath = nullptr;
    bool timestamps = false;
    bool reconnect = false;
    int waitMs = 500;
    bool listen = false;
    bool help = false;
    bool version = false;
};

// A decimal number of at most 32 bits, digits only.
bool ParseNumber(const char *text, DWORD *value);

// Reads every argument and checks every value, before anything is connected. Returns kContinue
// when a session is to start; kDone for --help and --version, with the text to print in *said;
// kUsage with the reason in *said.
int ParseOptions(int argc, char **argv, Options *o, std::string *said);

#endif
