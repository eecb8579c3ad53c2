// kvterm: a serial terminal on a device server's port, built on the library's public calls.
//
// With a terminal on standard input it is interactive: keys go to the device as typed, what
// arrives is shown with control bytes made visible, Ctrl-T opens a menu and Ctrl-] leaves.
// Otherwise (pipe mode) it copies standard input to the port and what the port receives to
// standard output. docs/kvterm.md is its manual. The pieces: options.cpp reads the command line,
// screen.cpp shows what arrives (and logs it), session.cpp runs the keys, the menu and the
// connection.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"
#include "screen.h"
#include "session.h"
#include "term_io.h"

namespace
{

int Fail(int status, const std::string &message)
{
    std::fprintf(stderr, "kvterm: %s\n", message.c_str());
    if (status == kUsage)
        std::fprintf(stderr, "Try 'kvterm --help'.\n");
    return status;
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

// The log, open for appending for as long as it lives (or no log).
class Log
{
  public:
    explicit Log(const char *path) : file_(path != nullptr ? std::fopen(path, "ab") : nullptr) {}
    ~Log()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    std::FILE *File() const { return file_; }

  private:
    std::FILE *file_;
};

} // namespace

int main(int argc, char **argv)
{
    TermIoStartup();
    Options options;
    std::string said;
    const int parsed = ParseOptions(argc, argv, &options, &said);
    if (parsed == kDone) {
        std::fputs(said.c_str(), stdout);
        return kDone;
    }
    if (parsed != kContinue)
        return Fail(parsed, said);
    Log log(options.logPath);
    if (options.logPath != nullptr && log.File() == nullptr)
        return Fail(kOutputFailed,
                    std::string("cannot open the log '") + options.logPath + "': " + std::strerror(errno));
    const bool interactive = !options.listen && StdinIsTerminal();
    Screen screen(options, interactive, log.File());
    if (!interactive)
        return Session(options, false, &screen);
    // Raw mode before connecting: keys typed from the moment the connection is made go as typed.
    RawTerminal terminal;
    if (!terminal.Ok())
        return Fail(kOutputFailed, "cannot put the terminal into raw mode");
    return Session(options, true, &screen);
}
