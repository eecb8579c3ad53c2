// The library's one report to the user (a failed network start-up, a message box), made
// observable to tests. Once WatchUserReports() has run on a thread, the first box that thread
// shows is described on stderr as "CAPTION: TEXT", then as "message box: B button, K OK, owner
// none" (or "owner set"), and is answered with its OK button so that no test waits for a person.
#ifndef KALVICOM_TESTS_USER_REPORT_H
#define KALVICOM_TESTS_USER_REPORT_H

void WatchUserReports();
// Message boxes shown on the watching thread so far.
int UserReportsSeen();

#endif
