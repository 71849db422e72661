// Start-up: one copy per session, the hidden window, the tray icon and the
// monitor thread, then the hidden window's message loop. The monitor thread
// establishes the PC/SC context and lists the readers itself, whenever the
// smart-card service is there: at log-on it often is not.
#include "Shell.h"

#include "events/Events.h"
#include "monitor/Monitor.h"
#include "resource.h"

static const char TrayClassName[] = "DovaReraClass";
// In the session's own namespace: every user of a terminal server runs
// their own copy.
static const char SessionMutexName[] = "Local\\Zimvor.VelmoMon.Session";

// Creates the session's mutex, or answers true when another copy already
// holds it. The process keeps its handle until it ends. A mutex that cannot
// be created at all does not stop the program: better two copies than none.
static bool anotherCopyRuns()
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, SessionMutexName);
    if (!mutex || GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    CloseHandle(mutex);
    return true;
}

typedef DWORD(WINAPI *RegisterServiceProcessCall)(DWORD processId, DWORD type);

// Keeps the process alive across log-off on systems that offer the call.
static void registerAsService()
{
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (!kernel)
        return;
    FARPROC call = GetProcAddress(kernel, "RegisterServiceProcess");
    if (call)
        reinterpret_cast<RegisterServiceProcessCall>(reinterpret_cast<void (*)()>(call))(0, 1);
    FreeLibrary(kernel);
}

HWND createTrayWindow(HINSTANCE instance, MonitorState *monitor)
{
    registerAsService();
    WNDCLASSA windowClass;
    if (!GetClassInfoA(instance, TrayClassName, &windowClass)) {
        ZeroMemory(&windowClass, sizeof windowClass);
        windowClass.lpfnWndProc = TrayWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = TrayClassName;
        if (!RegisterClassA(&windowClass))
            return NULL;
    }
    return CreateWindowExA(0, TrayClassName, "", 0, 0, 0, 0, 0, NULL, NULL, instance, monitor);
}

void showStartupError(UINT id, UINT style)
{
    char text[256];
    if (LoadStringA(NULL, LOWORD(id), text, sizeof text) <= 0)
        lstrcpynA(text, "Unknown Error", sizeof text);
    MessageBoxA(NULL, text, "DovaRera", LOWORD(style) | MB_SETFOREGROUND);
}

static void runMessageLoop(HWND window)
{
    MSG message;
    while (GetMessageA(&message, window, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (anotherCopyRuns())
        return 0;
    startEventLog();
    // Lives until the process ends: the window and the monitor thread use it.
    static MonitorState monitor;
    HWND window = createTrayWindow(instance, &monitor);
    if (!window) {
        showStartupError(IDS_STARTUPFAILED, 0);
        return 1;
    }
    addTrayIcon(window, IDI_TRAYICON, LoadIconA(instance, MAKEINTRESOURCEA(IDI_TRAYICON)), "Velmo Monitor");
    startMonitor(monitor);
    runMessageLoop(window);
    // Ended from outside (the window closed or WM_QUIT): "Cerrar VelmoMon"
    // leaves through ExitProcess and never comes here. The window takes
    // its icon with it.
    if (IsWindow(window))
        DestroyWindow(window);
    stopMonitor(monitor, 3000);
    UnregisterClassA(TrayClassName, instance);
    return 1;
}
