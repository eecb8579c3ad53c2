/* A C program that uses kalvicom.dll through its import library, as a Windows application would.
 * Linking it proves that the header compiles as C and that every call resolves against the import
 * library (on 32-bit Windows the WINAPI names are decorated in the caller and must be matched
 * without the linker's stdcall guesswork). Running it proves the DLL loads and answers.
 * Exit status: 0 when every call behaved, otherwise the number of the first one that did not. */
#include <stdio.h>

#include "kalvicom.h"

int main(void)
{
    DCB dcb = {0};
    COMMTIMEOUTS timeouts = {0};
    DWORD count = 0;
    char buffer[4] = {0};

    /* Nothing is opened: only the calls' answers to a refused address and to null handles. */
    if (KvCreateFile("999.0.0.1:1") != INVALID_HANDLE_VALUE)
        return 1;
    if (KvCloseHandle(INVALID_HANDLE_VALUE) != 1)
        return 2;
    if (KvReadFile(NULL, buffer, sizeof buffer, &count) != 0)
        return 3;
    if (KvWriteFile(NULL, buffer, sizeof buffer, &count) != 0)
        return 4;
    if (KvSetCommTimeouts(NULL, &timeouts) != 0)
        return 5;
    if (KvSetCommState(NULL, &dcb) != 0)
        return 6;
    if (KvGetCommState(NULL, &dcb) != 0)
        return 7;
    if (KvSetCommConfig(NULL, NULL, 0) != 1)
        return 8;
    if (KvSetupComm(NULL, 0, 0) != 1)
        return 9;
    puts("all nine calls answered");
    return 0;
}
