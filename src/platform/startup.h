// The process-wide start-up that runs when the library is loaded.
#ifndef KALVICOM_PLATFORM_STARTUP_H
#define KALVICOM_PLATFORM_STARTUP_H

#include <cstdint>

constexpr uint32_t kLoadProcessAttach = 1;
constexpr uint32_t kLoadOther = 0; // process detach, thread attach, thread detach

// Starts the network stack on process attach; does nothing for any other notification. When the
// stack cannot start, tells the user and ends the process with status 1. Returns 1 otherwise.
int LibraryLoadEntry(uint32_t reason);

#endif
