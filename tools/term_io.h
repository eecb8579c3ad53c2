// The few standard-input and standard-output operations kvterm needs, one file per platform.
#ifndef KALVICOM_TOOLS_TERM_IO_H
#define KALVICOM_TOOLS_TERM_IO_H

#include <cstddef>

// Prepares the process: a closed output must end writes with an error, not the process.
void TermIoStartup();

// Waits up to ms milliseconds (0 polls) for standard input to have data or reach its end.
// Returns 1 when a read will not block, 0 after the wait, -1 on an error.
int StdinWait(int ms);

// Reads what standard input has, up to size bytes: the count, 0 at the end, -1 on an error.
long StdinRead(void *buffer, size_t size);

// Writes all of data to standard output. Returns false on an error (a closed pipe, say).
bool StdoutWrite(const void *data, size_t size);

#endif
