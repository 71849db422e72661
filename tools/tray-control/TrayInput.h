// Reaching VelmoMon's windows from another program, as the shell and the
// user's clicks and keys do: window searches by process and class, the
// icon's callback message, and keys for an open popup menu.
#pragma once

#include <windows.h>

#include <string>

namespace trayinput {

// VelmoMon's hidden window and the message the notification area sends it.
const char HiddenWindowClass[] = "DovaReraClass";
const char PopupMenuClass[] = "#32768";
const UINT TrayNotifyMessage = WM_USER + 100;
const UINT TrayIconId = 106;

std::string windowText(HWND window);
std::string className(HWND window);
// A top-level window of the process with this class (and title), visible
// only when asked.
HWND findProcessWindow(DWORD processId, const char *className, const char *title, bool visibleOnly);

// Right button on the icon: the callback message the shell sends.
void pressRightButtonOnIcon(HWND hidden);
// Chooses the n-th enabled entry (from 1, separators skipped) of an open
// popup menu with the arrow keys and Enter, as a keyboard user would.
void chooseMenuEntry(HWND menuWindow, int entry);
void pressKey(HWND window, UINT key);

} // namespace trayinput
