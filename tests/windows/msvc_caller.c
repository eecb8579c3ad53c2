/* A program built the way Visual Studio builds a caller of kalvicom.dll: compiled for the MSVC
 * targets (clang --target=*-pc-windows-msvc) and linked by lld-link against kalvicom.lib, with
 * neither a C run-time nor Windows headers, so it declares what it calls itself, as
 * __declspec(dllimport) WINAPI functions (on x86 the linker then looks for __imp__KvReadFile@16).
 *
 *     msvc_caller ADDRESS
 *
 * Opens the port, sets 9600 8N1, sends "ID?\r", prints the answer line and closes, using all nine
 * calls. Exit status: 0 with an answer, otherwise the number of the step that failed. */
typedef unsigned long DWORD; /* 32 bits on Windows */
typedef int BOOL;
typedef void *HANDLE;

typedef struct {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD flags; /* the fBinary ... fDummy2 bit-fields */
    unsigned short wReserved, XonLim, XoffLim;
    unsigned char ByteSize, Parity, StopBits;
    char XonChar, XoffChar, ErrorChar, EofChar, EvtChar;
    unsigned short wReserved1;
} DCB;

typedef struct {
    DWORD ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

#define IMPORT __declspec(dllimport)
#define INVALID_HANDLE_VALUE ((HANDLE)(long long)-1)
IMPORT HANDLE __stdcall KvCreateFile(const char *address);
IMPORT BOOL __stdcall KvCloseHandle(HANDLE port);
IMPORT BOOL __stdcall KvReadFile(HANDLE port, void *buffer, DWORD size, DWORD *got);
IMPORT BOOL __stdcall KvWriteFile(HANDLE port, const void *data, DWORD size, DWORD *written);
IMPORT BOOL __stdcall KvSetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
IMPORT BOOL __stdcall KvSetCommState(HANDLE port, DCB *dcb);
IMPORT BOOL __stdcall KvGetCommState(HANDLE port, DCB *dcb);
IMPORT BOOL __stdcall KvSetCommConfig(HANDLE port, void *config, DWORD size);
IMPORT BOOL __stdcall KvSetupComm(HANDLE port, DWORD inSize, DWORD outSize);

IMPORT char *__stdcall GetCommandLineA(void);
IMPORT HANDLE __stdcall GetStdHandle(DWORD which);
IMPORT BOOL __stdcall WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written, void *overlapped);
IMPORT void __stdcall ExitProcess(unsigned status);

static unsigned Query(const char *address)
{
    DCB dcb = {sizeof(DCB), 9600, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}; /* 8N1 */
    COMMTIMEOUTS timeouts = {0xFFFFFFFF, 0xFFFFFFFF, 2000, 0, 0};
    char answer[256];
    DWORD have = 0, count = 0;

    HANDLE port = KvCreateFile(address);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    if (!KvSetupComm(port, 4096, 4096) || !KvSetCommConfig(port, 0, 0) || !KvSetCommState(port, &dcb))
        return 2;
    dcb.BaudRate = 0;
    if (!KvGetCommState(port, &dcb) || dcb.BaudRate != 9600)
        return 3;
    if (!KvSetCommTimeouts(port, &timeouts) || !KvWriteFile(port, "ID?\r", 4, &count) || count != 4)
        return 4;
    for (;;) {
        if (!KvReadFile(port, answer + have, sizeof answer - 1 - have, &count) || count == 0)
            return 5;
        for (have += count; count > 0; --count)
            if (answer[have - count] == '\r' || answer[have - count] == '\n') {
                have -= count;
                answer[have++] = '\n';
                KvCloseHandle(port);
                return WriteFile(GetStdHandle((DWORD)-11), answer, have, &count, 0) ? 0 : 6;
            }
        if (have == sizeof answer - 1)
            return 5;
    }
}

/* The entry point (lld-link /entry:start): the address is the last word of the command line. */
void start(void)
{
    const char *line = GetCommandLineA(), *address = line;
    for (; *line; ++line)
        if (*line == ' ')
            address = line + 1;
    ExitProcess(Query(address));
}
