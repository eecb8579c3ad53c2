// kalvicom.dll as a Windows program meets it: loaded at run time, found by its plain export names,
// and starting Winsock for the whole process from DllMain. This program does not link the library
// and never starts Winsock itself, so every socket it gets is owed to the DLL.
#include <gtest/gtest.h>

#include <winsock2.h> // before windows.h

#include <windows.h>

#include <cstdio>
#include <thread>

namespace
{

// socket()'s outcome: 0 when it worked, otherwise the Winsock error code.
int TrySocket()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    closesocket(s);
    return 0;
}

const char *const kExports[] = {"KvCreateFile",      "KvCloseHandle",   "KvReadFile",
                                "KvWriteFile",       "KvSetCommState",  "KvGetCommState",
                                "KvSetCommTimeouts", "KvSetCommConfig", "KvSetupComm"};

} // namespace

// One test, because loading the DLL changes the process for good.
TEST(Dll, LoadStartsWinsockForTheProcessAndUnloadLeavesItRunning)
{
    ASSERT_EQ(TrySocket(), WSANOTINITIALISED) << "nothing may have started Winsock yet";

    HMODULE dll = LoadLibraryA("kalvicom.dll");
    ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << GetLastError();
    EXPECT_EQ(TrySocket(), 0) << "DllMain must start Winsock at process attach";

    for (const char *name : kExports) {
        EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
        // The decorated forms a 32-bit stdcall build would produce unless told otherwise.
        for (const char *form : {"_%s", "%s@4", "_%s@4", "%s@8", "%s@12", "%s@16"}) {
            char decorated[64];
            std::snprintf(decorated, sizeof decorated, form, name);
            EXPECT_EQ(GetProcAddress(dll, decorated), nullptr) << decorated << " must not be exported";
        }
    }

    // Thread attach and detach notifications change nothing.
    std::thread([] {}).join();
    EXPECT_EQ(TrySocket(), 0);

    // The library never shuts Winsock down, not even when it is unloaded.
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_EQ(TrySocket(), 0);
}
