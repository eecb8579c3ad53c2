/* Uses the installed header and library without a device server: the record layouts and the
 * calls whose results need no connection. Prints "ok" and exits with 0 when everything holds. */
#include <stdio.h>

#include "kalvicom.h"

static int failures = 0;

static void Expect(int holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

int main(void)
{
    DWORD count = 7;
    char buffer[4];

    Expect(sizeof(DCB) == 28, "DCB is 28 bytes");
    Expect(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS is 20 bytes");
    Expect(sizeof(DWORD) == 4, "DWORD is 32 bits");
    Expect(KvCreateFile("not an address") == INVALID_HANDLE_VALUE, "a malformed address fails");
    Expect(KvCreateFile(NULL) == INVALID_HANDLE_VALUE, "a null address fails");
    Expect(KvCloseHandle(INVALID_HANDLE_VALUE) == 1, "closing a failed open succeeds");
    Expect(KvReadFile(NULL, buffer, (DWORD)sizeof buffer, &count) == 0 && count == 7,
           "reading a null handle fails and leaves the count alone");
    Expect(KvWriteFile(NULL, buffer, (DWORD)sizeof buffer, &count) == 0 && count == 7,
           "writing a null handle fails and leaves the count alone");
    Expect(KvSetCommTimeouts(NULL, NULL) == 0, "time-outs on a null handle fail");
    Expect(KvSetCommState(NULL, NULL) == 0, "setting the line on a null handle fails");
    Expect(KvGetCommState(NULL, NULL) == 0, "reporting the line of a null handle fails");
    Expect(KvSetCommConfig(NULL, NULL, 0) == 1, "KvSetCommConfig accepts anything");
    Expect(KvSetupComm(NULL, 4096, 4096) == 1, "KvSetupComm accepts anything");

    if (failures != 0)
        return 1;
    printf("ok\n");
    return 0;
}
