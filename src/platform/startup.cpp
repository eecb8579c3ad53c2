#include "platform/startup.h"

#include "platform/net.h"

int LibraryLoadEntry(uint32_t reason)
{
    if (reason == kLoadProcessAttach && !NetStartup())
        NetStartupFailed("Problem with WinSock2 DLL", "KALVICOM.DLL");
    return 1;
}
