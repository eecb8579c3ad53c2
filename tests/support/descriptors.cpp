#include "script_server.h"

#ifdef _WIN32
#include <windows.h>
int OpenDescriptorCount()
{
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
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
