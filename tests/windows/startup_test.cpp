// The start-up at load on Windows: Winsock 2.0 at process attach, nothing for other notifications,
// and on a failed start a message box followed by exit status 1. The failure is produced by
// pointing this program's import of WSAStartup at a stand-in that refuses: the load entry is
// compiled into this program (tests/windows/CMakeLists.txt), so its calls go through that import.
#include <gtest/gtest.h>

#include <winsock2.h> // before windows.h

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "script_server.h"
#include "user_report.h"

// The library's load entry (src/platform/load_win32.cpp).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID);

namespace
{

// Reports the version asked for (major in the low byte) and refuses.
int WSAAPI RefusingStartup(WORD version, LPWSADATA)
{
    std::fprintf(stderr, "WSAStartup asked for %u.%u\n", LOBYTE(version), HIBYTE(version));
    return WSASYSNOTREADY;
}

// Points this program's import table entry for dll!function at replacement.
bool ReplaceImport(const char *dll, const char *function, const void *replacement)
{
    auto *base = reinterpret_cast<uint8_t *>(GetModuleHandleA(nullptr));
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto *entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
    for (; entry->Name != 0; ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + entry->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + entry->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), function) != 0)
                continue;
            DWORD old;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

void ReportExitHandlers()
{
    std::fprintf(stderr, "exit handlers ran\n");
    std::fflush(stderr);
}

// What the failing start-up does, observed from inside the process that it ends.
[[noreturn]] void FailStartup()
{
    if (!ReplaceImport("ws2_32.dll", "WSAStartup", reinterpret_cast<const void *>(&RefusingStartup))) {
        std::fprintf(stderr, "could not replace WSAStartup\n");
        std::_Exit(2);
    }
    std::atexit(ReportExitHandlers);
    WatchUserReports();
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    std::fprintf(stderr, "start-up returned\n");
    std::_Exit(3);
}

} // namespace

TEST(Startup, ProcessAttachStartsWinsockQuietly)
{
    WatchUserReports();
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    for (DWORD other : {DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_EQ(DllMain(nullptr, other, nullptr), TRUE);
    EXPECT_EQ(UserReportsSeen(), 0);
    // Winsock is up: a socket can be had without this program starting it.
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    closesocket(s);
}

TEST(Startup, FailureShowsOneMessageBoxThenExitsWithStatusOne)
{
    // Through the standard exit, so the process's exit handlers run; gtest's regular expressions
    // on Windows know no groups, hence the plain text.
    EXPECT_EXIT(FailStartup(), ::testing::ExitedWithCode(1),
                "WSAStartup asked for 2.0\n"
                "KALVICOM.DLL: Problem with WinSock2 DLL\n"
                "message box: 1 button, 1 OK, owner none\n"
                "exit handlers ran");
}

// The leak checks of the other tests count sockets: a socket must count, other handles must not.
TEST(Startup, DescriptorCountSeesSocketsOnly)
{
    ASSERT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    int before = OpenDescriptorCount();
    ASSERT_GE(before, 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    closesocket(s);
    CloseHandle(event);
    EXPECT_EQ(OpenDescriptorCount(), before);
}
