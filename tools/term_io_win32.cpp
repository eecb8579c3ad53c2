#include "term_io.h"

#include <windows.h>

#include <cstring>

// Standard input is read by a thread of its own: neither an anonymous pipe nor the console can be
// waited on with a time-out the same way, but an event can. The thread fills one buffer, signals
// `ready`, and waits for `taken` once the main thread has used all of it.

namespace
{

HANDLE input = INVALID_HANDLE_VALUE;
HANDLE output = INVALID_HANDLE_VALUE;
HANDLE ready = nullptr; // manual reset: the buffer holds data, or the result is final
HANDLE taken = nullptr; // auto reset: the buffer may be filled again
HANDLE reader = nullptr;
char buffer[4096];
long bufferResult = 0; // what the last read gave: a count, 0 at the end, -1 on an error
long bufferUsed = 0;

volatile LONG stopRequested = 0;
volatile LONG rawActive = 0;
DWORD savedInputMode = 0;
DWORD savedOutputMode = 0;
UINT savedOutputCodePage = 0;

// One read of what standard input has: the console as UTF-8 text, anything else as bytes.
long ReadSome()
{
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        wchar_t wide[1024]; // at most 3 bytes of UTF-8 each, or 4 for a pair
        DWORD n = 0;
        do {
            if (!ReadConsoleW(input, wide, 1024, &n, nullptr))
                return -1;
        } while (n == 0);
        return WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), buffer, sizeof buffer, nullptr, nullptr);
    }
    DWORD n = 0;
    if (!ReadFile(input, buffer, sizeof buffer, &n, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<long>(n);
}

DWORD WINAPI ReadInput(void *)
{
    for (;;) {
        bufferResult = ReadSome();
        bufferUsed = 0;
        SetEvent(ready);
        if (bufferResult <= 0)
            return 0;
        WaitForSingleObject(taken, INFINITE);
    }
}

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event == CTRL_C_EVENT && rawActive) {
        // A console that still turns Ctrl-C into an event in raw mode (Wine's, on a Unix
        // terminal): the key goes back into the input, to reach the device like any other.
        INPUT_RECORD key = {};
        key.EventType = KEY_EVENT;
        key.Event.KeyEvent.bKeyDown = TRUE;
        key.Event.KeyEvent.wRepeatCount = 1;
        key.Event.KeyEvent.uChar.UnicodeChar = 0x03;
        DWORD written = 0;
        WriteConsoleInputW(input, &key, 1, &written);
        return TRUE;
    }
    if (InterlockedExchange(&stopRequested, 1) != 0)
        return FALSE; // the second request: the default handler ends the process
    TerminalRestore();
    return TRUE;
}

} // namespace

void TermIoStartup()
{
    input = GetStdHandle(STD_INPUT_HANDLE);
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested()
{
    return stopRequested != 0;
}

bool StdinIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(input, &mode) != 0;
}

bool TerminalRawStart()
{
    if (!GetConsoleMode(input, &savedInputMode))
        return false;
    // Keys as typed, escape sequences for the special keys, Ctrl-C as a key (no processed input).
    if (!SetConsoleMode(input, ENABLE_VIRTUAL_TERMINAL_INPUT) && !SetConsoleMode(input, 0))
        return false;
    if (GetConsoleMode(output, &savedOutputMode))
        SetConsoleMode(output, savedOutputMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    savedOutputCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8); // what the device sends is shown as UTF-8
    rawActive = 1;
    return true;
}

void TerminalRestore()
{
    if (InterlockedExchange(&rawActive, 0) == 0)
        return;
    SetConsoleMode(input, savedInputMode);
    if (savedOutputMode != 0)
        SetConsoleMode(output, savedOutputMode);
    if (savedOutputCodePage != 0)
        SetConsoleOutputCP(savedOutputCodePage);
}

int StdinWait(int ms)
{
    if (reader == nullptr) {
        reader = CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr);
        if (reader == nullptr)
            return -1;
    }
    const DWORD result = WaitForSingleObject(ready, static_cast<DWORD>(ms));
    if (result == WAIT_OBJECT_0)
        return 1;
    return result == WAIT_TIMEOUT ? 0 : -1;
}

long StdinRead(void *data, size_t size)
{
    const int waited = StdinWait(-1); // INFINITE
    if (waited <= 0)
        return -1;
    if (bufferResult <= 0)
        return bufferResult; // stays ready: every later read gives the same end
    const long n =
        static_cast<long>(size) < bufferResult - bufferUsed ? static_cast<long>(size) : bufferResult - bufferUsed;
    std::memcpy(data, buffer + bufferUsed, static_cast<size_t>(n));
    bufferUsed += n;
    if (bufferUsed == bufferResult) {
        ResetEvent(ready);
        SetEvent(taken);
    }
    return n;
}

bool StdoutWrite(const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
        DWORD n = 0;
        if (!WriteFile(output, p, chunk, &n, nullptr) || n == 0)
            return false;
        p += n;
        size -= n;
    }
    return true;
}
