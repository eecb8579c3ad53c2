#include "script_server.h"

#ifdef _WIN32
#include <windows.h>
// Windows keeps the count; Wine answers 0, so there the handle values are tried one by one. Wine
// hands out the lowest free value first, so the search ends after a long run of unused values.
int OpenDescriptorCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return static_cast<int>(count);
    const uintptr_t kStep = 4; // handle values are multiples of 4
    const uintptr_t kUnusedRun = 1024;
    int found = 0;
    uintptr_t unused = 0;
    for (uintptr_t value = kStep; unused < kUnusedRun; value += kStep) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++found;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return found;
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
