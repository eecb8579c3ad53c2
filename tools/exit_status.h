// kvterm's exit statuses, one per way of failing; docs/kvterm.md and --help list them, and the
// tests check them by these names.
#ifndef KALVICOM_TOOLS_EXIT_STATUS_H
#define KALVICOM_TOOLS_EXIT_STATUS_H

enum Status {
    kDone = 0,
    kOutputFailed = 1,      // standard input or output, or the log, failed
    kUsage = 2,             // bad arguments or a malformed address; nothing was connected
    kRefusedConnection = 3, // nobody accepted the connection (or the server turned it away)
    kRefusedSetting = 4,    // the line settings could not be sent
    kLostConnection = 5,    // the connection ended (closed, or a read or write failed) while in use
    kContinue = -1,         // not an exit status: the session goes on
};

#endif
