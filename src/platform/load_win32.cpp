// Library-load entry on Windows: Winsock 2.0 is started once for the process at attach. Other
// systems need no start-up, so they have no load entry at all.
#include <winsock2.h> // before windows.h

#include <windows.h>

#include <cstdlib>

static WSADATA g_wsaData; // filled by the start-up, never read again

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH && WSAStartup(MAKEWORD(2, 0), &g_wsaData) != 0) {
        // The loader cannot be told of the failure: the user is, and the process ends.
        MessageBoxA(nullptr, "Problem with WinSock2 DLL", "KALVICOM.DLL", MB_OK);
        std::exit(1);
    }
    return TRUE;
}
