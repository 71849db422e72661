// The notification-area icon, its popup menu and the about box: everything
// the user sees, handled by the hidden window's procedure, which also hears
// what the session and the notification area tell the program.
#include "Shell.h"

#include <shellapi.h>
#include <wtsapi32.h>

#include "PinTool.h"
#include "monitor/Monitor.h"
#include "resource.h"

HMENU trayMenu = NULL;
HINSTANCE trayInstance = NULL;

// The records handed to the shell have the size of their first form; the
// 64-bit program uses the same form at its own pointer width.
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the icon record's first form is 88 bytes");
#endif
static_assert(sizeof TrayTip + StatusLineCapacity <= TrayTipCapacity, "the tip's two lines fit its field");

static int notifyTray(DWORD action, HWND window, UINT iconId, HICON icon, const char *tip)
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
    return Shell_NotifyIconA(action, &record) ? 1 : 0;
}

int addTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip)
{
    return notifyTray(NIM_ADD, window, iconId, icon, tip);
}

int modifyTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip)
{
    return notifyTray(NIM_MODIFY, window, iconId, icon, tip);
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

typedef HRESULT(WINAPI *DpiForMonitorCall)(HMONITOR monitor, int kind, UINT *x, UINT *y);
typedef int(WINAPI *MetricForDpiCall)(int metric, UINT dpi);
const int EffectiveDpi = 0; // MDT_EFFECTIVE_DPI

template <typename Call> static Call lookUp(HMODULE module, const char *name)
{
    return module ? reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : NULL;
}

// The small-icon side the notification area uses now. Where Windows keeps
// a DPI per display (Windows 10), the primary display's, read afresh: a
// change there restarts Explorer, which then broadcasts "TaskbarCreated".
// Elsewhere the session's DPI, which stays until the next log-on.
static int smallIconSide()
{
    MetricForDpiCall metricForDpi =
        lookUp<MetricForDpiCall>(GetModuleHandleA("user32.dll"), "GetSystemMetricsForDpi");
    HMODULE shcore = LoadLibraryA("shcore.dll");
    DpiForMonitorCall dpiForMonitor = lookUp<DpiForMonitorCall>(shcore, "GetDpiForMonitor");
    UINT dpi = 0, unused = 0;
    const POINT origin = {0, 0};
    if (metricForDpi && dpiForMonitor &&
        FAILED(dpiForMonitor(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), EffectiveDpi, &dpi, &unused)))
        dpi = 0;
    if (shcore)
        FreeLibrary(shcore);
    return metricForDpi && dpi ? metricForDpi(SM_CXSMICON, dpi) : GetSystemMetrics(SM_CXSMICON);
}

// The tray images at the side in use now, in place of the ones held. The
// about box keeps the program's own 16-colour icon.
static void loadTrayImage(TrayState &tray)
{
    const int side = smallIconSide();
    HICON icon = (HICON)LoadImageA(trayInstance, MAKEINTRESOURCEA(IDI_TRAYIMAGES), IMAGE_ICON, side, side, 0);
    if (!icon)
        return;
    if (tray.icon)
        DestroyIcon(tray.icon);
    tray.icon = icon;
}

static void offerAgainUntilShown(HWND window, TrayState &tray)
{
    if (tray.iconShown)
        KillTimer(window, IconRetryTimer);
    else
        SetTimer(window, IconRetryTimer, IconRetryMilliseconds, NULL);
}

// "Velmo Monitor", and below it what the monitor sees once it has told.
static void composeTip(TrayState &tray, char tip[TrayTipCapacity])
{
    lstrcpynA(tip, TrayTip, TrayTipCapacity);
    char line[StatusLineCapacity];
    readStatusLine(*tray.monitor, line, sizeof line);
    if (!line[0])
        return;
    lstrcatA(tip, "\n");
    lstrcatA(tip, line);
}

void showTrayIcon(HWND window, TrayState &tray)
{
    char tip[TrayTipCapacity];
    composeTip(tray, tip);
    tray.iconShown = addTrayIcon(window, IDI_TRAYICON, tray.icon, tip) != 0;
    offerAgainUntilShown(window, tray);
}

// An icon not shown yet gets the new tip when it is offered again.
static void onStatusLineChanged(HWND window, TrayState &tray)
{
    if (!tray.iconShown)
        return;
    char tip[TrayTipCapacity];
    composeTip(tray, tip);
    modifyTrayIcon(window, IDI_TRAYICON, tray.icon, tip);
}

// A NIM_ADD the shell gave up on may still be carried out, after which
// every further NIM_ADD fails: the icon is there if NIM_MODIFY finds it.
// Either way there is never a second icon.
static void offerIconAgain(HWND window, TrayState &tray)
{
    char tip[TrayTipCapacity];
    composeTip(tray, tip);
    tray.iconShown = modifyTrayIcon(window, IDI_TRAYICON, tray.icon, tip) ||
                     addTrayIcon(window, IDI_TRAYICON, tray.icon, tip);
    offerAgainUntilShown(window, tray);
}

// A new notification area (Explorer started again, or started late) holds
// no icon of ours, and its DPI may have changed.
static void onTaskbarCreated(HWND window, TrayState &tray)
{
    loadTrayImage(tray);
    offerIconAgain(window, tray);
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

// The way out for "Cerrar VelmoMon" and for the end of the session: the
// window closes, which winds everything down, and the process ends with 0.
[[noreturn]] static void endProgram(HWND window)
{
    SendMessageA(window, WM_CLOSE, 0, 0);
    ExitProcess(0);
}

static LRESULT onCommand(HWND window, TrayState *tray, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        endProgram(window);
    case IDM_ABOUT:
        showAboutBox(window);
        return 0;
    case IDM_PINTOOL:
        launchPinTool(platformPinToolCalls, tray && tray->refuseWritablePinTool);
        break;
    }
    destroyTrayMenu();
    return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
}

static void onCreate(HWND window, const CREATESTRUCTA &creation)
{
    buildTrayMenu();
    trayInstance = creation.hInstance;
    TrayState *tray = (TrayState *)creation.lpCreateParams;
    SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)tray);
    if (!tray)
        return;
    // A copy started elevated lets it through from the user's own Explorer.
    tray->taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    if (tray->taskbarCreated)
        ChangeWindowMessageFilterEx(window, tray->taskbarCreated, MSGFLT_ALLOW, NULL);
    loadTrayImage(*tray);
    WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);
}

// Fast user switching or a remote session left: while the session is not
// connected, another user may sit at the readers, so the monitor reads no
// card; it takes every reader afresh when the session is connected again.
// A locked session goes on as it is: its certificates must be there when
// the user unlocks it.
static void onSessionChange(TrayState &tray, WPARAM change)
{
    if (change == WTS_CONSOLE_DISCONNECT || change == WTS_REMOTE_DISCONNECT)
        setSessionConnected(*tray.monitor, false);
    else if (change == WTS_CONSOLE_CONNECT || change == WTS_REMOTE_CONNECT)
        setSessionConnected(*tray.monitor, true);
}

// Every way out destroys the window: endProgram, a close from outside, and
// start-up after a WM_QUIT. The monitor stops first (it finishes the card
// in hand, waited for at most three seconds); the icon goes with the
// window, rather than stay until the mouse passes over a dead one.
static void windDown(HWND window, TrayState *tray)
{
    destroyTrayMenu();
    if (!tray)
        return;
    stopMonitor(*tray->monitor, MonitorStopWaitMs);
    WTSUnRegisterSessionNotification(window);
    KillTimer(window, IconRetryTimer);
    removeTrayIcon(window, IDI_TRAYICON);
    tray->iconShown = false;
    if (tray->icon)
        DestroyIcon(tray->icon);
    tray->icon = NULL;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    TrayState *tray = (TrayState *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (tray && tray->taskbarCreated && message == tray->taskbarCreated) {
        onTaskbarCreated(window, *tray);
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        onCreate(window, *(const CREATESTRUCTA *)lParam);
        return 0;
    case WM_DESTROY:
        windDown(window, tray);
        break;
    case WM_COMMAND:
        return onCommand(window, tray, wParam, lParam);
    case WM_TRAYNOTIFY:
        if (lParam == WM_RBUTTONDOWN)
            openTrayMenu(window);
        break;
    case WM_DROPTRAYMENU:
        destroyTrayMenu();
        break;
    case WM_TIMER:
        if (wParam == IconRetryTimer && tray)
            offerIconAgain(window, *tray);
        return 0;
    case WM_POWERBROADCAST:
        // Readers may have gone and come back, and cards changed, while the
        // machine slept.
        if ((wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND) && tray)
            requestReaderCheck(*tray->monitor);
        return TRUE;
    case WM_STATUSLINECHANGED:
        if (tray)
            onStatusLineChanged(window, *tray);
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (tray)
            onSessionChange(*tray, wParam);
        return 0;
    case WM_QUERYENDSESSION:
        // Log-off, shut-down, or an installer that must replace the program.
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            endProgram(window);
        return 0;
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
