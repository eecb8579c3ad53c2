#include "script_server.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h> // before windows.h

#include <windows.h>

// Windows counts the sockets only: they are the one kind of handle the library takes, and the
// process's other handles come and go with the runtime (Winsock, the thread library and the test
// framework make some on first use and keep them). Handle values are multiples of 4 handed out
// lowest first, so the search ends after a long run of unused values.
namespace
{
int CountOpenSockets()
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
} // namespace

std::vector<DescriptorCounter> DescriptorCounters()
{
    return {{"open sockets", CountOpenSockets}};
}
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cstdlib>

namespace
{
// The entries of a directory that lists the process's descriptors, less the listing's own; -1 when
// there is no such directory or it does not list every descriptor. FreeBSD's /dev/fd without
// fdescfs shows only 0, 1 and 2, so a listing that misses its own descriptor is not believed.
int CountListed(const char *path)
{
    DIR *dir = opendir(path);
    if (dir == nullptr)
        return -1;
    const int own = dirfd(dir);
    int count = 0;
    bool ownListed = false;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        ++count;
        if (std::atoi(entry->d_name) == own)
            ownListed = true;
    }
    closedir(dir);
    return ownListed ? count - 1 : -1;
}

// Asks every descriptor number below the process's limit whether it is open. Works on any POSIX
// system but makes one call per possible descriptor; -1 when the limit is too high to walk.
int CountProbed()
{
    const rlim_t kMostProbed = rlim_t(1) << 20;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kMostProbed)
        return -1;
    int count = 0;
    for (rlim_t fd = 0; fd < limit.rlim_cur; ++fd) {
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1)
            ++count;
    }
    return count;
}
} // namespace

// Linux lists them in /proc/self/fd, macOS and the BSDs (with fdescfs) in /dev/fd.
std::vector<DescriptorCounter> DescriptorCounters()
{
    return {{"/proc/self/fd", [] { return CountListed("/proc/self/fd"); }},
            {"/dev/fd", [] { return CountListed("/dev/fd"); }},
            {"probing each number", CountProbed}};
}
#endif

int OpenDescriptorCount()
{
    for (const DescriptorCounter &counter : DescriptorCounters()) {
        const int count = counter.count();
        if (count >= 0)
            return count;
    }
    ADD_FAILURE() << "this system offers no way to count the process's descriptors: nothing can be "
                     "checked for leaks";
    return -1;
}
