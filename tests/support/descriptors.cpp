#include "script_server.h"

#ifdef _WIN32
#include <winsock2.h> // before windows.h

#include <windows.h>

// Windows counts the sockets only: they are the one kind of handle the library takes, and the
// process's other handles come and go with the runtime (Winsock, the thread library and the test
// framework make some on first use and keep them). Handle values are multiples of 4 handed out
// lowest first, so the search ends after a long run of unused values.
int OpenDescriptorCount()
{
    const uintptr_t kStep = 4;
    const uintptr_t kUnusedRun = 1024;
    int sockets = 0;
    uintptr_t unused = 0;
    for (uintptr_t value = kStep; unused < kUnusedRun; value += kStep) {
        DWORD flags;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++unused;
            continue;
        }
        unused = 0;
        int type = 0;
        int length = sizeof type;
        if (getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &length) == 0)
            ++sockets;
    }
    return sockets;
}
#else
#include <dirent.h>
int OpenDescriptorCount()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}
#endif
