// Drives a running VelmoMon.exe from a script through its tray icon, as a
// user would: opens the popup menu, chooses an entry with the arrow keys
// and Enter, and on "Cerrar VelmoMon" waits for the program to end and
// reports its exit code and whether it took its icon out of the
// notification area. A menu belongs to its process, so its texts cannot
// be read from here: entries are chosen by their place.
//   usage: tray-control [--wait SECONDS] COMMAND
//          ping            waits until the program answers
//          open [X Y]      opens the menu at X,Y (and leaves it open)
//          choose N        chooses the N-th entry (separators skipped)
//          close           chooses "Cerrar VelmoMon", waits for the end;
//                          exits 0 when the program's exit code was 0 and
//                          it removed its icon
// Every wait ends after 15 seconds, or after --wait SECONDS: a script that
// allows a slow start longer gives its own limit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TrayInput.h"

#include <shellapi.h>

using namespace trayinput;

namespace {

DWORD waitLimit = 15000;
// "Cambio y Desbloqueo de Pin", "Cerrar VelmoMon", a separator, "Acerca de...".
const int ExitEntry = 2;

struct Target {
    HWND hidden;
    DWORD processId;
};

template <typename Found> bool waitFor(Found found)
{
    const DWORD start = GetTickCount();
    while (!found()) {
        if (GetTickCount() - start >= waitLimit)
            return false;
        Sleep(20);
    }
    return true;
}

bool findProgram(Target &target)
{
    target.hidden = NULL;
    target.processId = 0;
    if (!waitFor([&] { return (target.hidden = FindWindowA(HiddenWindowClass, NULL)) != NULL; })) {
        fprintf(stderr, "tray-control: VelmoMon's window did not appear within %lu s\n", waitLimit / 1000);
        return false;
    }
    GetWindowThreadProcessId(target.hidden, &target.processId);
    return true;
}

bool answers(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, waitLimit, &result) != 0;
}

HWND openMenu(const Target &target, int x, int y)
{
    HWND menu = findProcessWindow(target.processId, PopupMenuClass, NULL, true);
    if (menu)
        return menu;
    SetCursorPos(x, y);
    pressRightButtonOnIcon(target.hidden);
    waitFor([&] { return (menu = findProcessWindow(target.processId, PopupMenuClass, NULL, true)) != NULL; });
    if (!menu)
        fprintf(stderr, "tray-control: the menu did not open\n");
    return menu;
}

bool choose(const Target &target, int entry)
{
    HWND menu = openMenu(target, 300, 200);
    if (!menu)
        return false;
    chooseMenuEntry(menu, entry);
    return true;
}

// While the program ends, a window of class "Shell_TrayWnd" in front of the
// system's own stands in for the notification area and hears whether the
// program deletes its icon. Wine's own notification area drops the icons of
// a destroyed window by itself, which Windows does not: only the program's
// own NIM_DELETE keeps a dead icon from staying there.
HWND closingWindow = NULL;
bool iconDeleted = false;

LRESULT CALLBACK standInTrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return DefWindowProcA(window, message, wParam, lParam);
    NotifyRecord record;
    if (!readNotifyRecord(*(const COPYDATASTRUCT *)lParam, record))
        return FALSE;
    if (record.action == NIM_DELETE && record.window == closingWindow && record.id == TrayIconId)
        iconDeleted = true;
    return TRUE;
}

HWND createStandInTray()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = standInTrayProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "Shell_TrayWnd";
    RegisterClassA(&windowClass);
    return CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0, NULL,
                           NULL, windowClass.hInstance, NULL);
}

// Waits for the process to end, handling the stand-in tray's messages.
bool waitForEnd(HANDLE process)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        const DWORD waited = GetTickCount() - start;
        if (waited >= waitLimit)
            return false;
        if (MsgWaitForMultipleObjects(1, &process, FALSE, waitLimit - waited, QS_ALLINPUT) == WAIT_OBJECT_0)
            return true;
    }
}

int closeProgram(const Target &target)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, target.processId);
    if (!process) {
        fprintf(stderr, "tray-control: cannot watch the program (%lu)\n", GetLastError());
        return 2;
    }
    closingWindow = target.hidden;
    HWND tray = createStandInTray();
    DWORD code = STILL_ACTIVE;
    if (choose(target, ExitEntry) && waitForEnd(process))
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    DestroyWindow(tray);
    if (code == STILL_ACTIVE) {
        printf("VelmoMon did not end\n");
        return 3;
    }
    printf("VelmoMon ended with exit code %ld\n", (long)code);
    if (!iconDeleted) {
        printf("VelmoMon left its icon in the notification area\n");
        return 4;
    }
    printf("VelmoMon took its icon out of the notification area\n");
    return code == 0 ? 0 : 1;
}

int usage()
{
    fprintf(stderr, "usage: tray-control [--wait SECONDS] ping | open [X Y] | choose N | close\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--wait") == 0) {
        const int seconds = atoi(argv[2]);
        if (seconds <= 0 || seconds > 3600)
            return usage();
        waitLimit = (DWORD)seconds * 1000;
        argc -= 2;
        argv += 2;
    }
    if (argc < 2)
        return usage();
    const char *command = argv[1];
    Target target;
    if (strcmp(command, "ping") == 0 && argc == 2)
        return findProgram(target) && answers(target.hidden) ? 0 : 1;
    if (strcmp(command, "open") == 0 && (argc == 2 || argc == 4))
        return findProgram(target) &&
                       openMenu(target, argc == 4 ? atoi(argv[2]) : 300, argc == 4 ? atoi(argv[3]) : 200)
                   ? 0
                   : 1;
    if (strcmp(command, "choose") == 0 && argc == 3 && atoi(argv[2]) > 0)
        return findProgram(target) && choose(target, atoi(argv[2])) ? 0 : 1;
    if (strcmp(command, "close") == 0 && argc == 2)
        return findProgram(target) ? closeProgram(target) : 1;
    return usage();
}
