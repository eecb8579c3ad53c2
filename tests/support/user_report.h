// The library's one report to the user (a failed network start-up), made observable to tests.
// On Windows the report is a message box. Once WatchUserReports() has run on a thread, the first
// box that thread shows is described on stderr as "CAPTION: TEXT", then as "message box: B
// button, K OK, owner none" (or "owner set"), and is answered with its OK button so that no test
// waits for a person. Elsewhere this does nothing.
#ifndef KALVICOM_TESTS_USER_REPORT_H
#define KALVICOM_TESTS_USER_REPORT_H

void WatchUserReports();
// Message boxes shown on the watching thread so far (always 0 where there are none).
int UserReportsSeen();

#endif
