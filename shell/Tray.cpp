// The notification-area icon, its popup menu, the PIN tool and the about
// box: everything the user sees, handled by the hidden window's procedure.
#include "Shell.h"

#include <shellapi.h>

#include "monitor/Monitor.h"
#include "resource.h"

HMENU trayMenu = NULL;
HINSTANCE trayInstance = NULL;

static const char PinToolPath[] = "c:\\Zimvor\\Ravendel.exe";

// The records handed to the shell and to process creation have the sizes
// of their first forms; the 64-bit program uses the same forms at its own
// pointer width.
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the icon record's first form is 88 bytes");
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record is 68 bytes");
#endif

int addTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip)
{
    NOTIFYICONDATAA record;
    ZeroMemory(&record, sizeof record);
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = window;
    record.uID = iconId;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAYNOTIFY;
    record.hIcon = icon;
    if (tip)
        lstrcpynA(record.szTip, tip, TrayTipCapacity);
    return Shell_NotifyIconA(NIM_ADD, &record) ? 1 : 0;
}

int removeTrayIcon(HWND window, UINT iconId)
{
    NOTIFYICONDATAA record;
    ZeroMemory(&record, sizeof record);
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = window;
    record.uID = iconId;
    return Shell_NotifyIconA(NIM_DELETE, &record) ? 1 : 0;
}

void buildTrayMenu()
{
    trayMenu = CreatePopupMenu();
    AppendMenuA(trayMenu, MF_STRING, IDM_PINTOOL, "Cambio y Desbloqueo de Pin");
    AppendMenuA(trayMenu, MF_STRING, IDM_EXIT, "Cerrar VelmoMon");
    AppendMenuA(trayMenu, MF_SEPARATOR, 0, NULL);
    AppendMenuA(trayMenu, MF_STRING, IDM_ABOUT, "Acerca de...");
}

static void destroyTrayMenu()
{
    if (!trayMenu)
        return;
    DestroyMenu(trayMenu);
    trayMenu = NULL;
}

void launchPinTool()
{
    char path[sizeof PinToolPath];
    lstrcpynA(path, PinToolPath, sizeof path);
    // Only the drive letter follows the system; without a Windows
    // directory the template's own drive is kept.
    char windowsDirectory[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        path[0] = windowsDirectory[0];

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        MessageBoxA(NULL, "No se pudo lanzar la aplicaci\xF3n Cambio de Pin", "Aviso Zimvor", MB_TASKMODAL);
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// The menu opens at the cursor; a chosen entry comes back as WM_COMMAND.
static void openTrayMenu(HWND window)
{
    POINT cursor;
    GetCursorPos(&cursor);
    if (!trayMenu)
        buildTrayMenu();
    SetForegroundWindow(window);
    TrackPopupMenu(trayMenu, 0, cursor.x, cursor.y, 0, window, NULL);
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessageA(window, WM_NULL, 0, 0);
}

static void showAboutBox(HWND window)
{
    // The box always ends with 0; anything else means it never appeared.
    if (DialogBoxParamA(trayInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutDialogProc, 0))
        InvalidateRect(NULL, NULL, TRUE);
}

// The monitor state WinMain handed to the window at its creation.
static MonitorState *monitorOf(HWND window)
{
    return (MonitorState *)GetWindowLongPtrA(window, GWLP_USERDATA);
}

static LRESULT onCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        SendMessageA(window, WM_CLOSE, 0, 0);
        if (monitorOf(window))
            stopMonitor(*monitorOf(window), 3000);
        ExitProcess(0);
    case IDM_ABOUT:
        showAboutBox(window);
        return 0;
    case IDM_PINTOOL:
        launchPinTool();
        break;
    }
    destroyTrayMenu();
    return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        buildTrayMenu();
        trayInstance = ((CREATESTRUCTA *)lParam)->hInstance;
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTA *)lParam)->lpCreateParams);
        return 0;
    case WM_DESTROY:
        // The way out destroys the window ("Cerrar VelmoMon" by WM_CLOSE):
        // the icon goes with it, rather than stay until the mouse passes
        // over a dead one.
        removeTrayIcon(window, IDI_TRAYICON);
        destroyTrayMenu();
        break;
    case WM_COMMAND:
        return onCommand(window, wParam, lParam);
    case WM_TRAYNOTIFY:
        if (lParam == WM_RBUTTONDOWN)
            openTrayMenu(window);
        break;
    case WM_DROPTRAYMENU:
        destroyTrayMenu();
        break;
    case WM_POWERBROADCAST:
        // Readers may have gone and come back, and cards changed, while the
        // machine slept.
        if ((wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND) && monitorOf(window))
            requestReaderCheck(*monitorOf(window));
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    // Only IDOK ends the box: Escape (IDCANCEL) leaves it open.
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
