#include "user_report.h"

#include <windows.h>

#include <cstdio>

static HHOOK g_hook = nullptr;
static int g_seen = 0;

static LRESULT CALLBACK DescribeAndAnswer(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && g_seen++ == 0) {
        HWND box = reinterpret_cast<HWND>(wParam);
        char caption[128] = "";
        char text[256] = "";
        GetWindowTextA(box, caption, sizeof caption);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text); // a message box's text control
        int buttons = 0;
        int ok = 0;
        for (HWND child = FindWindowExA(box, nullptr, "Button", nullptr); child != nullptr;
             child = FindWindowExA(box, child, "Button", nullptr)) {
            ++buttons;
            ok += GetDlgCtrlID(child) == IDOK;
        }
        std::fprintf(stderr, "%s: %s\nmessage box: %d button, %d OK, owner %s\n", caption, text, buttons, ok,
                     GetWindow(box, GW_OWNER) == nullptr ? "none" : "set");
        std::fflush(stderr);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

void WatchUserReports()
{
    g_seen = 0;
    if (g_hook == nullptr)
        g_hook = SetWindowsHookExA(WH_CBT, DescribeAndAnswer, nullptr, GetCurrentThreadId());
}

int UserReportsSeen()
{
    return g_seen;
}
