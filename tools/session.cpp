#include "session.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "port/baud_rates.h" // the library's list of baud rates
#include "term_io.h"

namespace
{

typedef std::chrono::steady_clock Clock;

constexpr unsigned char kExitKey = 0x1D;   // Ctrl-]
constexpr unsigned char kMenuKey = 0x14;   // Ctrl-T
constexpr unsigned char kStopKey = 0x03;   // Ctrl-C, which stops a file being sent
constexpr long long kProgressStep = 65536; // files larger than this show their progress

const char kMenuText[] = "menu: Ctrl-T then b baud rate, d data bits, p parity, s stop bits, i line settings,\r\n"
                         "      h hex view, t timestamps, m line-end mapping, e local echo, u send a file,\r\n"
                         "      ? this list, Ctrl-T sends one Ctrl-T";

// The connection, and what the session keeps across reconnects.
struct Link {
    HANDLE port = INVALID_HANDLE_VALUE;
    Line line;             // the line settings in force: as given (or 9600 8N1), then as the menu set them
    bool lineSent = false; // whether any were sent; if not, the server keeps its own
};

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

// The keys typed in interactive mode: each goes to the device as typed, Enter as the chosen end
// of line; Ctrl-] leaves and Ctrl-T starts a menu command. A file chosen with Ctrl-T u is sent a
// piece at a time between reads (SendMore), so what arrives meanwhile still shows.
class Keyboard
{
  public:
    Keyboard(Link *link, const Options &o, Screen *screen) : link_(link), options_(o), screen_(screen), echo_(o.echo) {}
    ~Keyboard() { CloseFile(); }

    // Handles what was typed. Returns kContinue, kDone (the exit key) or kLostConnection.
    int Typed(const unsigned char *keys, size_t size)
    {
        int status = kContinue;
        for (size_t i = 0; i < size && status == kContinue; ++i) {
            const unsigned char key = keys[i];
            if (file_ != nullptr) { // only Ctrl-C and Ctrl-] count while a file is sent
                if (key == kStopKey)
                    FinishFile("stopped after ");
                else if (key == kExitKey)
                    status = kDone;
            } else if (mode_ == kBaudPrompt || mode_ == kPathPrompt) {
                status = PromptKey(key);
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

    bool Sending() const { return file_ != nullptr; }

    // Sends the next piece of the file. Returns kContinue or kLostConnection.
    int SendMore()
    {
        unsigned char piece[4096];
        const size_t n = std::fread(piece, 1, sizeof piece, file_);
        DWORD written = 0;
        if (n > 0 && !KvWriteFile(link_->port, piece, static_cast<DWORD>(n), &written)) {
            FinishFile("stopped by the lost connection after ");
            return kLostConnection;
        }
        sent_ += static_cast<long long>(n);
        if (n < sizeof piece)
            FinishFile(std::ferror(file_) ? "a read failed after " : "");
        else if (size_ > kProgressStep && sent_ % kProgressStep == 0)
            screen_->Progress("sending " + path_ + ": " + std::to_string(sent_ / 1024) + " of " +
                              std::to_string(size_ / 1024) + " KiB");
        return kContinue;
    }

    // The connection was lost: a file being sent, a prompt or a menu command are given up.
    void Interrupted()
    {
        if (file_ != nullptr)
            FinishFile("stopped by the lost connection after ");
        mode_ = kKeys;
        pending_.clear();
    }

  private:
    enum Mode { kKeys, kMenu, kBaudPrompt, kPathPrompt };

    // Sends the keys typed so far, showing them too with local echo on.
    bool SendPending()
    {
        if (pending_.empty())
            return true;
        DWORD written = 0;
        if (!KvWriteFile(link_->port, pending_.data(), static_cast<DWORD>(pending_.size()), &written))
            return false;
        if (echo_)
            screen_->Echo(reinterpret_cast<const unsigned char *>(pending_.data()), pending_.size());
        pending_.clear();
        return true;
    }

    // Sends line, after the keys typed before the command.
    int Apply(const Line &line)
    {
        if (!SendPending())
            return kLostConnection;
        if (!SendLine(link_->port, line)) {
            screen_->Say("line settings " + Describe(line) + " not sent");
            return kContinue; // a lost connection ends the session at the next read
        }
        link_->line = line;
        link_->lineSent = true;
        screen_->Say("line settings sent: " + Describe(line));
        return kContinue;
    }

    int MenuCommand(unsigned char key)
    {
        Line next = link_->line;
        switch (key) {
        case 'b':
            mode_ = kBaudPrompt;
            answer_.clear();
            screen_->Ask("baud rate (Enter sets it, Esc cancels): ");
            return kContinue;
        case 'u':
            mode_ = kPathPrompt;
            answer_.clear();
            screen_->Ask("file to send (Enter sends it, Esc cancels): ");
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
            return screen_->ToggleHex() ? kContinue : kOutputFailed;
        case 't':
            screen_->ToggleTimestamps();
            return kContinue;
        case 'm':
            screen_->NextLineEnd();
            return kContinue;
        case 'e':
            echo_ = !echo_;
            screen_->Say(echo_ ? "local echo on" : "local echo off");
            return kContinue;
        case 'i': {
            DCB dcb;
            std::memset(&dcb, 0, sizeof dcb);
            KvGetCommState(link_->port, &dcb);
            std::string line = "the server's own (none sent yet)";
            if (dcb.BaudRate != 0 && dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS) {
                const Line sent = {dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
                line = Describe(sent);
            }
            screen_->Say(std::string("connected to ") + options_.address + ", line settings " + line);
            return kContinue;
        }
        case '?':
            screen_->Say(kMenuText);
            return kContinue;
        default:
            screen_->Say("no such menu command (Ctrl-T ? lists them)");
            return kContinue;
        }
    }

    // A key typed after a question: a baud rate takes digits, a path any printing character.
    int PromptKey(unsigned char key)
    {
        const bool baud = mode_ == kBaudPrompt;
        const bool takes =
            baud ? key >= '0' && key <= '9' && answer_.size() < 9 : key >= 0x20 && key != 0x7F && answer_.size() < 4096;
        if (takes) {
            answer_ += static_cast<char>(key);
            screen_->Typing(answer_.c_str() + answer_.size() - 1);
        } else if ((key == 0x7F || key == '\b') && !answer_.empty()) {
            answer_.pop_back();
            screen_->Typing("\b \b");
        } else if (key == 0x1B || key == kMenuKey || key == kExitKey) {
            mode_ = kKeys;
            screen_->Say(baud ? "baud rate unchanged" : "no file sent");
        } else if (key == '\r' || key == '\n') {
            mode_ = kKeys;
            if (!baud)
                return StartFile();
            Line next = link_->line;
            if (ParseNumber(answer_.c_str(), &next.baud) && IsAcceptedBaudRate(next.baud))
                return Apply(next);
            screen_->Say("'" + answer_ + "' is not a baud rate the library takes (50 to 115200, the usual ones)");
        }
        return kContinue;
    }

    // Opens the file typed at the prompt; the session loop sends it.
    int StartFile()
    {
        if (!SendPending())
            return kLostConnection;
        path_ = answer_;
        file_ = std::fopen(path_.c_str(), "rb");
        if (file_ == nullptr) {
            screen_->Say("cannot open '" + path_ + "': " + std::strerror(errno) + "; no file sent");
            return kContinue;
        }
        size_ = std::fseek(file_, 0, SEEK_END) == 0 ? static_cast<long long>(std::ftell(file_)) : -1;
        std::rewind(file_);
        sent_ = 0;
        screen_->Say("sending " + path_ + (size_ >= 0 ? ", " + std::to_string(size_) + " bytes" : std::string()) +
                     " (Ctrl-C stops)");
        return kContinue;
    }

    // Says how the sending ended ("" when all was sent) and closes the file.
    void FinishFile(const char *how)
    {
        screen_->Say(std::string("file ") + path_ + ": " + (*how != '\0' ? how : "sent, ") + std::to_string(sent_) +
                     " bytes");
        CloseFile();
    }

    void CloseFile()
    {
        if (file_ != nullptr)
            std::fclose(file_);
        file_ = nullptr;
    }

    Link *link_;
    const Options &options_;
    Screen *screen_;
    bool echo_;
    Mode mode_ = kKeys;
    std::string answer_;  // typed after a question
    std::string pending_; // keys for the device, sent once per batch of input
    std::FILE *file_ = nullptr;
    std::string path_;
    long long size_ = 0;
    long long sent_ = 0;
};

// Input to the port (through keyboard in interactive mode), the port to the screen, until the
// exit key, the end of the input (then showing what arrives for o.waitMs more), a stop request,
// or the end of the connection. *inputOpen says whether the input is still read; on
// kLostConnection *why says what was lost.
int Run(const Options &o, HANDLE port, Screen *screen, Keyboard *keyboard, bool *inputOpen, const char **why)
{
    unsigned char input[4096];
    unsigned char output[4096];
    const bool readsWait = o.timeouts.ReadTotalTimeoutConstant != 0;
    bool idle = false;
    Clock::time_point lastData = Clock::now();
    *why = "connection lost while sending";
    for (;;) {
        if (StopRequested())
            return screen->Pause() ? kDone : kOutputFailed;
        const bool sending = keyboard != nullptr && keyboard->Sending();
        if (sending && keyboard->SendMore() == kLostConnection)
            return kLostConnection;
        if (*inputOpen) {
            // The read below already waits when the port is quiet; wait here only if it did not.
            const int ready = StdinWait(idle && !readsWait && !sending ? 10 : 0);
            if (ready != 0) {
                const long n = ready < 0 ? -1 : StdinRead(input, sizeof input);
                if (n < 0) {
                    screen->Say("cannot read standard input");
                    return kOutputFailed;
                }
                if (n == 0) {
                    *inputOpen = false;
                    lastData = Clock::now();
                } else if (keyboard != nullptr) {
                    const int status = keyboard->Typed(input, static_cast<size_t>(n));
                    if (status == kLostConnection)
                        return kLostConnection;
                    if (status != kContinue)
                        return screen->Pause() ? status : kOutputFailed;
                } else {
                    DWORD written = 0;
                    if (!KvWriteFile(port, input, static_cast<DWORD>(n), &written))
                        return kLostConnection;
                }
            }
        }
        DWORD got = 0;
        if (!KvReadFile(port, output, sizeof output, &got)) {
            screen->Pause();
            *why = "connection lost (closed by the device server, or it stopped answering)";
            return kLostConnection;
        }
        idle = got == 0;
        if (!(got > 0 ? screen->Show(output, got) : screen->Pause())) {
            screen->Say(std::string("cannot write ") + screen->Failed());
            return kOutputFailed;
        }
        if (got > 0)
            lastData = Clock::now();
        if (!*inputOpen && !o.listen && Clock::now() - lastData >= std::chrono::milliseconds(o.waitMs))
            return kDone;
        if (!*inputOpen && idle && !readsWait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // reads do not wait
    }
}

// Connects and sends the line settings in force, if any, and the read time-outs. Returns kContinue,
// kRefusedConnection or kRefusedSetting (with nothing left open).
int Connect(const Options &o, Link *link)
{
    link->port = KvCreateFile(o.address);
    if (link->port == INVALID_HANDLE_VALUE)
        return kRefusedConnection;
    if (link->lineSent && !SendLine(link->port, link->line)) {
        KvCloseHandle(link->port);
        link->port = INVALID_HANDLE_VALUE;
        return kRefusedSetting;
    }
    KvSetCommTimeouts(link->port, &o.timeouts);
    return kContinue;
}

// The pause before the next try to reconnect: every second for five tries, then longer by a
// second each time, up to 5 s.
int RetryDelayMs(int tries)
{
    return tries < 5 ? 1000 : (tries < 8 ? tries - 3 : 5) * 1000;
}

// Waits ms before another try, reading the keys meanwhile (dropped, but Ctrl-] leaves). Returns
// kContinue, or the status to end with: the exit key or a stop request end the session at once.
int WaitToRetry(int ms, bool interactive)
{
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (StopRequested())
            return kDone;
        const long long left = ms - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (left <= 0)
            return kContinue;
        const int slice = static_cast<int>(left < 100 ? left : 100);
        if (!interactive) { // pipe mode reads its input once connected again
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
            continue;
        }
        const int ready = StdinWait(slice);
        if (ready == 0)
            continue;
        unsigned char keys[256];
        const long n = ready < 0 ? -1 : StdinRead(keys, sizeof keys);
        if (n < 0)
            return kOutputFailed;
        if (n == 0 || std::memchr(keys, kExitKey, static_cast<size_t>(n)) != nullptr)
            return kDone;
    }
}

} // namespace

int Session(const Options &o, bool interactive, Screen *screen)
{
    Link link;
    link.line = o.line;
    link.lineSent = o.lineGiven;
    Keyboard keys(&link, o, screen);
    Keyboard *keyboard = interactive ? &keys : nullptr;
    const std::string leave = interactive ? " (Ctrl-] leaves)" : "";
    bool inputOpen = !o.listen;

    int status = Connect(o, &link);
    if (status == kRefusedConnection)
        screen->Say(std::string("cannot connect to ") + o.address +
                    " (refused, unreachable, busy (another client holds the port), or no device server there)" +
                    (o.reconnect ? "; trying again" + leave : std::string()));
    else if (status == kRefusedSetting)
        screen->Say("line settings " + Describe(o.line) + " not sent (the connection failed)" +
                    (o.reconnect ? "; trying again" + leave : std::string()));
    const std::string connected =
        std::string("connected to ") + o.address +
        (!interactive ? o.listen ? "; showing what arrives until Ctrl-C" : "; end of input ends the session"
                      : ". Ctrl-] leaves, Ctrl-T ? shows the menu.");
    const std::string lineSent = "line settings sent: ";
    if (status == kContinue && o.lineGiven)
        screen->Say(lineSent + Describe(o.line));
    if (status == kContinue)
        screen->Say(connected);
    bool wasConnected = status == kContinue;
    for (int tries = 0;; ++tries) {
        if (status == kContinue) {
            const char *why = "";
            status = Run(o, link.port, screen, keyboard, &inputOpen, &why);
            KvCloseHandle(link.port);
            link.port = INVALID_HANDLE_VALUE;
            if (status != kLostConnection)
                return status;
            // With the input at its end there is nothing more to send: the session ends as it would.
            const bool again = o.reconnect && (inputOpen || o.listen);
            screen->Say(why + (again ? "; reconnecting" + leave : std::string()));
            if (!again)
                return status;
            keys.Interrupted();
            tries = 0;
        } else if (!o.reconnect) {
            return status;
        }
        const int waited = WaitToRetry(RetryDelayMs(tries), interactive);
        if (waited != kContinue)
            return waited;
        status = Connect(o, &link);
        if (status == kContinue && wasConnected)
            screen->Say(std::string("reconnected to ") + o.address +
                        (link.lineSent ? "; " + lineSent + Describe(link.line) : std::string()));
        else if (status == kContinue)
            screen->Say((link.lineSent ? lineSent + Describe(link.line) + "; " : std::string()) + connected);
        wasConnected = wasConnected || status == kContinue;
    }
}
