// A session on one port: the keys (and the menu) in interactive mode, the input in pipe mode, what
// arrives to the screen, and with --reconnect the connection made again whenever it is lost.
#ifndef KALVICOM_TOOLS_SESSION_H
#define KALVICOM_TOOLS_SESSION_H

#include "options.h"
#include "screen.h"

// Connects to o.address and runs the session until it ends. Returns the exit status.
int Session(const Options &o, bool interactive, Screen *screen);

#endif
