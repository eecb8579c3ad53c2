#include "screen.h"

#include <chrono>
#include <ctime>

#include "term_io.h"

namespace
{

// "14:03:27.125 ": the local time to the millisecond, as a line's prefix.
std::string Stamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm *local = std::localtime(&seconds);
    const std::tm unknown = {};
    if (local == nullptr) // a clock the C library cannot convert: 00:00:00
        local = &unknown;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", local->tm_hour, local->tm_min, local->tm_sec,
                  static_cast<int>(ms));
    return text;
}

// data with stamp before each line it starts; *atLineStart says whether the first byte starts one
// and is left saying whether the next will.
std::string Stamped(const char *data, size_t size, const std::string &stamp, bool *atLineStart)
{
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (*atLineStart)
            out += stamp;
        out += data[i];
        *atLineStart = data[i] == '\n';
    }
    return out;
}

// The device's line end (cr or lf) made a new line, CR LF; the rest as it came.
std::string MapLineEnds(int lineEnd, const unsigned char *data, size_t size)
{
    const char *from = reinterpret_cast<const char *>(data);
    if (lineEnd != kEndCr && lineEnd != kEndLf)
        return std::string(from, size);
    const char end = lineEnd == kEndCr ? '\r' : '\n';
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (from[i] == end)
            out += "\r\n";
        else
            out += from[i];
    }
    return out;
}

} // namespace

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

void HexDump::Add(const unsigned char *data, size_t size, std::string *lines)
{
    for (size_t i = 0; i < size; ++i) {
        line_[fill_++] = data[i];
        if (fill_ == sizeof line_)
            Flush(lines);
    }
}

void HexDump::Flush(std::string *lines)
{
    if (fill_ == 0)
        return;
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
    lines->append(text, static_cast<size_t>(n));
}

Screen::Screen(const Options &o, bool interactive, std::FILE *log)
    : interactive_(interactive), visible_(interactive && !o.raw), hex_(o.hex), timestamps_(o.timestamps),
      lineEnd_(o.imap), log_(log)
{
}

bool Screen::Show(const unsigned char *data, size_t size)
{
    const std::string stamp = timestamps_ ? Stamp() : std::string();
    if (hex_) {
        std::string lines;
        dump_.Add(data, size, &lines);
        return Emit(lines, lines.data(), lines.size(), stamp);
    }
    std::string shown = MapLineEnds(lineEnd_, data, size);
    if (visible_)
        shown = Visible(reinterpret_cast<const unsigned char *>(shown.data()), shown.size());
    return Emit(shown, reinterpret_cast<const char *>(data), size, stamp);
}

bool Screen::Pause()
{
    std::string lines;
    dump_.Flush(&lines);
    return lines.empty() || Emit(lines, lines.data(), lines.size(), timestamps_ ? Stamp() : std::string());
}

bool Screen::Echo(const unsigned char *data, size_t size)
{
    const std::string shown = Visible(data, size);
    const std::string out = Stamped(shown.data(), shown.size(), std::string(), &atLineStart_);
    progressShown_ = false;
    return StdoutWrite(out.data(), out.size());
}

bool Screen::Emit(const std::string &shown, const char *logged, size_t loggedSize, const std::string &stamp)
{
    if (shown.empty() && loggedSize == 0)
        return true;
    const std::string out = Stamped(shown.data(), shown.size(), stamp, &atLineStart_);
    progressShown_ = false;
    if (!StdoutWrite(out.data(), out.size())) {
        failed_ = "standard output";
        return false;
    }
    if (log_ == nullptr)
        return true;
    const std::string line = Stamped(logged, loggedSize, stamp, &logAtLineStart_);
    if (std::fwrite(line.data(), 1, line.size(), log_) != line.size() || std::fflush(log_) != 0) {
        failed_ = "the log";
        return false;
    }
    return true;
}

void Screen::Status(const char *text, bool endsLine)
{
    if (!interactive_) {
        std::fprintf(stderr, "kvterm: %s%s", text, endsLine ? "\n" : "");
        return;
    }
    std::fprintf(stderr, "%skvterm: %s%s", atLineStart_ ? "" : "\r\n", text, endsLine ? "\r\n" : "");
    atLineStart_ = endsLine;
    progressShown_ = false;
}

void Screen::Say(const std::string &message)
{
    Status(message.c_str(), true);
}

void Screen::Ask(const std::string &question)
{
    Status(question.c_str(), false);
}

void Screen::Typing(const char *text)
{
    std::fputs(text, stderr);
    atLineStart_ = false;
    progressShown_ = false;
}

void Screen::Progress(const std::string &text)
{
    if (progressShown_) {
        std::fprintf(stderr, "\rkvterm: %s", text.c_str());
    } else {
        Status(text.c_str(), false);
        progressShown_ = true;
    }
}

bool Screen::ToggleHex()
{
    std::string lines;
    dump_.Flush(&lines);
    const bool shown = Emit(lines, lines.data(), lines.size(), timestamps_ ? Stamp() : std::string());
    hex_ = !hex_;
    if (hex_ && log_ != nullptr && !logAtLineStart_) {
        std::fputc('\n', log_); // the dump's lines start lines in the log as well
        logAtLineStart_ = true;
    }
    Say(hex_ ? "hex view on" : "hex view off");
    return shown;
}

void Screen::ToggleTimestamps()
{
    timestamps_ = !timestamps_;
    Say(timestamps_ ? "timestamps on" : "timestamps off");
}

void Screen::NextLineEnd()
{
    lineEnd_ = (lineEnd_ + 1) % kLineEndCount;
    static const char *const shown[] = {"line ends shown as they come", "each CR shown as a new line",
                                        "each LF shown as a new line",
                                        "CR LF shown as a new line (bytes as they come)"};
    Say(std::string("line-end mapping ") + LineEndWord(lineEnd_) + ": " + shown[lineEnd_]);
}
