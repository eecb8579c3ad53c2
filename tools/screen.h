// What kvterm shows: the data that arrives (as text with control bytes made visible, unchanged,
// or as a hex dump; line ends mapped; each line stamped with the time), copied to the log, and
// kvterm's own status lines, each on a line of its own.
#ifndef KALVICOM_TOOLS_SCREEN_H
#define KALVICOM_TOOLS_SCREEN_H

#include <cstddef>
#include <cstdio>
#include <string>

#include "options.h"

// Text with the non-printing control bytes made visible as ^A ... ^_ and ^?; CR, LF, TAB and BS
// pass, and so do bytes from 0x80 up (UTF-8 text).
std::string Visible(const unsigned char *data, size_t size);

// Streams bytes as lines of "offset  16 hex bytes  |text|". A line is given out when it is full,
// or early when the data pauses, so what arrives shows at once.
class HexDump
{
  public:
    void Add(const unsigned char *data, size_t size, std::string *lines);
    void Flush(std::string *lines); // the partial line, if any

  private:
    unsigned long long offset_ = 0;
    unsigned char line_[16];
    size_t fill_ = 0;
};

class Screen
{
  public:
    // interactive: a terminal shows both standard output and error, so kvterm's lines go between
    // the device's; log: the open log file, or nullptr.
    Screen(const Options &o, bool interactive, std::FILE *log);

    // Shows what the port received. Returns false when standard output or the log failed.
    bool Show(const unsigned char *data, size_t size);
    bool Pause(); // the data paused: show a partial dump line
    // What was typed, with local echo on (on the screen only).
    bool Echo(const unsigned char *data, size_t size);

    // A status line of kvterm's own, starting on a line of its own.
    void Say(const std::string &message);
    // A question whose answer is typed after it; Typing shows the answer's keys as typed.
    void Ask(const std::string &question);
    void Typing(const char *text);
    // A line rewritten in place while nothing else is shown (the progress of a file sent).
    void Progress(const std::string &text);

    // The menu's switches; each says what it set.
    bool ToggleHex();
    void ToggleTimestamps();
    void NextLineEnd();

    // What failed after Show or Pause returned false: "standard output" or "the log".
    const char *Failed() const { return failed_; }

  private:
    bool Emit(const std::string &shown, const char *logged, size_t loggedSize, const std::string &stamp);
    void Status(const char *text, bool endsLine);

    bool interactive_;
    bool visible_;
    bool hex_;
    bool timestamps_;
    int lineEnd_;
    std::FILE *log_;
    HexDump dump_;
    bool atLineStart_ = true;    // the terminal's cursor starts a line
    bool logAtLineStart_ = true; // the log's next byte starts a line
    bool progressShown_ = false; // the last thing shown is a progress line
    const char *failed_ = "";
};

#endif
