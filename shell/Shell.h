// The tray shell: start-up, the hidden window, the notification-area icon,
// its popup menu, the PIN tool and the about box. All of it runs on the
// main thread.
#pragma once

#include <windows.h>

// The icon's callback message and a request to drop the popup menu.
const UINT WM_TRAYNOTIFY = WM_USER + 100;
const UINT WM_DROPTRAYMENU = WM_USER + 1000;
// Posted by the monitor thread when what it sees has changed: the tip
// follows.
const UINT WM_STATUSLINECHANGED = WM_APP + 1;

// The tip field of the first form of the icon record: 63 characters and NUL.
const int TrayTipCapacity = 64;
// The tip's first line; the second says what the monitor sees.
const char TrayTip[] = "Velmo Monitor";

// The longest the end waits for the monitor to finish the card in hand.
const DWORD MonitorStopWaitMs = 3000;

// While the notification area refuses the icon, it is offered again this
// often until it is there.
const UINT IconRetryTimer = 1;
const UINT IconRetryMilliseconds = 3000;

struct MonitorState;

// What the hidden window keeps between messages. Start-up owns it and hands
// it to the window as its creation parameter; the window procedure finds it
// in the window's user data.
struct TrayState {
    MonitorState *monitor;      // told of resumes and of the session, stopped at the end
    bool refuseWritablePinTool; // the administrator's policy, read once at start-up
    UINT taskbarCreated;        // the message a starting notification area broadcasts
    HICON icon;                 // the tray image, at the size it was loaded for
    bool iconShown;             // the notification area holds the icon
};

extern HMENU trayMenu;
extern HINSTANCE trayInstance;

HWND createTrayWindow(HINSTANCE instance, TrayState &tray);
void showStartupError(UINT id, UINT style);

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int addTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip);
int modifyTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip);
int removeTrayIcon(HWND window, UINT iconId);
// Start-up's offer of the icon; while it is refused, the retry timer runs.
void showTrayIcon(HWND window, TrayState &tray);
void buildTrayMenu();
