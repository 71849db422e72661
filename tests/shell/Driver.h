// Drives VelmoMon.exe from outside, as the shell and the user would: starts
// it, stands in for the notification area, finds its windows and sends
// them the messages that clicks and keys produce.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "TrayInput.h"

namespace driver {

using trayinput::chooseMenuEntry;
using trayinput::className;
using trayinput::pressKey;
using trayinput::pressRightButtonOnIcon;
using trayinput::windowText;

// The files the build put in place, as Windows paths.
std::string velmoMonPath();
std::string fakeWinscardPath();
std::string pinStandInPath();

// A folder of its own for one test, beside the test program, holding a
// copy of VelmoMon.exe and, when asked, the PC/SC double as winscard.dll.
std::string prepareAppFolder(const std::string &name, bool withFakeWinscard);
bool writeTextFile(const std::string &path, const std::string &text);
bool fileExists(const std::string &path);

// Handles this process's messages (the stand-in tray answers the program's
// icon calls) until `done` answers true or `milliseconds` pass.
bool waitUntil(const std::function<bool()> &done, DWORD milliseconds = 15000);

// What the program handed to the notification area with NIM_ADD (with
// NIM_DELETE: the window and the id alone).
struct TrayIconRecord {
    DWORD processId;
    HWND window;
    UINT id;
    UINT flags;
    UINT callbackMessage;
    std::wstring tip;
    UINT iconWidth;
    UINT iconHeight;
};

// A window of class "Shell_TrayWnd" in front of the system's own, so that
// the program's Shell_NotifyIconA calls reach the test.
class StandInTray {
public:
    StandInTray();
    ~StandInTray();
    const std::vector<TrayIconRecord> &added() const;
    const std::vector<TrayIconRecord> &deleted() const;
    std::vector<DWORD> messages() const; // NIM_ADD, NIM_DELETE, ... in order
};

// One running VelmoMon.exe. The destructor kills it if it still runs.
struct Program {
    PROCESS_INFORMATION process = {};
    bool started = false;

    bool start(const std::string &exePath, const std::string &pcscConfig = std::string());
    bool running() const;
    // The exit code once it ended within the time limit, else STILL_ACTIVE.
    DWORD waitForExit(DWORD milliseconds = 15000);
    HWND hiddenWindow(DWORD milliseconds = 15000) const;
    // A visible top-level window of the program with this class (and title).
    HWND findWindow(const char *className, const char *title = NULL) const;
    HWND waitForWindow(const char *className, const char *title = NULL, DWORD milliseconds = 15000) const;
    ~Program();
};

std::vector<HWND> children(HWND window);

// When VELMO_SCREENSHOTS names a folder (scripts/screenshots sets it), asks
// for a picture of the screen as it is now and waits until it is taken.
void pauseForScreenshot(const char *name);

} // namespace driver
