// Library-load entry on Windows: DllMain hands every notification to the shared start-up step.
#include <windows.h>

#include "platform/startup.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    uint32_t which = kLoadOther;
    if (reason == DLL_PROCESS_ATTACH)
        which = kLoadProcessAttach;
    return LibraryLoadEntry(which) ? TRUE : FALSE;
}
