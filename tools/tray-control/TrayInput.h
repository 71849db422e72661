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

// What a program handed to the notification area, as Wine's shell32 passes
// Shell_NotifyIcon on to the window of class "Shell_TrayWnd": WM_COPYDATA
// with the NIM_ action in dwData and a record of fixed layout: the window
// (32 bits), id, flags and callback message, a 128-character tip, state,
// info texts and flags, a GUID and the icon's bitmap geometry, then the
// icon's bits when there is an icon.
struct NotifyRecord {
    DWORD action;
    HWND window;
    UINT id;
    UINT flags;
    UINT callbackMessage;
    std::wstring tip;
    UINT iconWidth, iconHeight, iconBitsPerPixel; // 0 without an icon
};
// False when the data is too short to be such a record.
bool readNotifyRecord(const COPYDATASTRUCT &data, NotifyRecord &record);

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
