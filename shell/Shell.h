// The tray shell: start-up, the hidden window, the notification-area icon,
// its popup menu, the PIN tool and the about box. All of it runs on the
// main thread.
#pragma once

#include <windows.h>

// The icon's callback message and a request to drop the popup menu.
const UINT WM_TRAYNOTIFY = WM_USER + 100;
const UINT WM_DROPTRAYMENU = WM_USER + 1000;

// The tip field of the first form of the icon record: 63 characters and NUL.
const int TrayTipCapacity = 64;

extern HMENU trayMenu;
extern HINSTANCE trayInstance;

struct MonitorState;

// The window keeps `monitor` for its handlers (the resume, the exit).
HWND createTrayWindow(HINSTANCE instance, MonitorState *monitor);
void showStartupError(UINT id, UINT style);

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int addTrayIcon(HWND window, UINT iconId, HICON icon, const char *tip);
int removeTrayIcon(HWND window, UINT iconId);
void buildTrayMenu();
void launchPinTool();
