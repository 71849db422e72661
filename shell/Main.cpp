// Start-up: one copy per user and session, the hidden window, the tray icon
// and the monitor thread, then the hidden window's message loop. The
// monitor thread establishes the PC/SC context and lists the readers
// itself, whenever the smart-card service is there: at log-on it often is
// not.
#include "Shell.h"

#include "UserSid.h"
#include "events/Events.h"
#include "monitor/Monitor.h"
#include "resource.h"
#include "settings/Settings.h"

static const char TrayClassName[] = "DovaReraClass";

// A DWORD of 1 turns a value on; anything else, or none, leaves it off.
static bool settingIsOn(const PolicyValue &setting)
{
    DWORD value = 0;
    readPolicyDword(setting, value);
    return value == 1;
}
// One copy per user and session: in the session's own namespace, so that
// every session of a terminal server runs its own copy, and named after
// the user, so that another account's copy in the same session ("Run as")
// has its own.
static const char SessionMutexPrefix[] = "Local\\Zimvor.VelmoMon.Session.";
// In every session: the same user's copy in another session (a terminal
// server allowing two, a RemoteApp beside a desktop) shares the user's
// record and "MY" with this one.
static const char UserMutexPrefix[] = "Global\\Zimvor.VelmoMon.User.";
// "S-1-", the authority and at most 15 sub-authorities of ten digits.
const size_t SidTextSize = 192;
static_assert(sizeof UserMutexPrefix <= sizeof SessionMutexPrefix &&
                  sizeof SessionMutexPrefix + SidTextSize <= MAX_PATH,
              "the names fit");

// Creates the named mutex, which the process then holds until it ends, and
// answers whether another copy had made it already. Access is denied when
// that copy's token guards it from this one (the same user's copy started
// elevated). A mutex that cannot be made at all does not stop the program:
// better two copies than none.
static bool anotherCopyHolds(const char *prefix, const char *userSid)
{
    char name[MAX_PATH];
    lstrcpynA(name, prefix, MAX_PATH);
    lstrcatA(name, userSid);
    HANDLE mutex = CreateMutexA(NULL, FALSE, name);
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    return GetLastError() == ERROR_ALREADY_EXISTS;
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

HWND createTrayWindow(HINSTANCE instance, TrayState &tray)
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
    return CreateWindowExA(0, TrayClassName, "", 0, 0, 0, 0, 0, NULL, NULL, instance, &tray);
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
    char userSid[SidTextSize] = "";
    readUserSidText(userSid, sizeof userSid);
    if (anotherCopyHolds(SessionMutexPrefix, userSid))
        return 0;
    // Lives until the process ends: the window and the monitor thread use
    // it, and a thread that did not stop in time outlives WinMain.
    static MonitorState monitor;
    monitor.userRunsElsewhere = anotherCopyHolds(UserMutexPrefix, userSid);
    if (settingIsOn(EventLogSetting))
        startEventLog();
    TrayState tray = {};
    tray.monitor = &monitor;
    tray.refuseWritablePinTool = settingIsOn(RefuseWritablePinToolSetting);
    HWND window = createTrayWindow(instance, tray);
    if (!window) {
        showStartupError(IDS_STARTUPFAILED, 0);
        return 1;
    }
    showTrayIcon(window, tray);
    // Brings the program back when an installer closed it to replace it
    // (Restart Manager); not after a crash, a hang or a restart of Windows.
    RegisterApplicationRestart(NULL, RESTART_NO_CRASH | RESTART_NO_HANG | RESTART_NO_REBOOT);
    monitor.window = window;
    monitor.windowMessage = WM_STATUSLINECHANGED;
    startMonitor(monitor);
    runMessageLoop(window);
    // Ended from outside (the window closed or WM_QUIT): "Cerrar VelmoMon"
    // and the end of the session leave through ExitProcess and never come
    // here. The window's destruction stops the monitor and takes the icon.
    if (IsWindow(window))
        DestroyWindow(window);
    UnregisterClassA(TrayClassName, instance);
    return 1;
}
