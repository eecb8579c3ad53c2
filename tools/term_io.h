// The few terminal, standard-input and standard-output operations kvterm needs, one file per
// platform (term_io_posix.cpp, term_io_win32.cpp).
#ifndef KALVICOM_TOOLS_TERM_IO_H
#define KALVICOM_TOOLS_TERM_IO_H

#include <cstddef>

// Prepares the process: a closed output ends writes with an error, not the process, and a request
// to stop (Ctrl-C on a non-raw terminal, SIGTERM, SIGHUP, closing the console window) is recorded
// for StopRequested instead of ending the process at once. A second request ends it.
void TermIoStartup();

// Whether a request to stop has arrived.
bool StopRequested();

// Whether standard input is a terminal (a console on Windows).
bool StdinIsTerminal();

// Puts the terminal on standard input into raw mode: every key as typed, no echo, no signal keys,
// no flow-control keys; output is left as it was. Returns false when that cannot be done.
bool TerminalRawStart();

// Restores the terminal as TerminalRawStart found it; does nothing when it is not in raw mode.
// Also done by the stop request handler, so the terminal is restored however kvterm ends.
void TerminalRestore();

// Waits up to ms milliseconds (0 polls) for standard input to have data or reach its end.
// Returns 1 when a read will not block, 0 after the wait (or when a stop request cut it short),
// -1 on an error.
int StdinWait(int ms);

// Reads what standard input has, up to size bytes: the count, 0 at the end, -1 on an error.
long StdinRead(void *buffer, size_t size);

// Writes all of data to standard output. Returns false on an error (a closed pipe, say).
bool StdoutWrite(const void *data, size_t size);

#endif
