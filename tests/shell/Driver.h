// Drives VelmoMon.exe from outside, as the shell and the user would: starts
// it, stands in for the notification area, finds its windows and sends
// them the messages that clicks and keys produce.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TrayInput.h"

namespace driver {

using trayinput::chooseMenuEntry;
using trayinput::className;
using trayinput::pressKey;
using trayinput::pressRightButtonOnIcon;
using trayinput::windowText;

// Every wait for the program ends after this many milliseconds: generous,
// since a passing test never waits it out.
const DWORD ProgramWaitLimit = 60000;

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
bool waitUntil(const std::function<bool()> &done, DWORD milliseconds = ProgramWaitLimit);

// What the program handed to the notification area (with NIM_DELETE: the
// window and the id alone), and the process of the window.
struct TrayIconRecord : trayinput::NotifyRecord {
    DWORD processId;
};

// How the stand-in tray answers: as Explorer does, carrying out what it
// can (no second icon of a window and id, nothing done to an icon it does
// not hold) and answering whether it did; refusing everything, as before
// a notification area is there; or carrying out what it can and answering
// FALSE all the same, as the shell does when it gave up waiting on a busy
// notification area.
enum class TrayAnswers { AsExplorer, Refused, GivenUpOn };

// A window of class "Shell_TrayWnd" in front of the system's own, so that
// the program's Shell_NotifyIconA calls reach the test.
class StandInTray {
public:
    StandInTray();
    ~StandInTray();
    const std::vector<TrayIconRecord> &added() const;
    const std::vector<TrayIconRecord> &deleted() const;
    std::vector<DWORD> messages() const; // NIM_ADD, NIM_DELETE, ... in order
    void answer(TrayAnswers how);
    size_t iconsHeld() const;
    // The tip of the icon last added or changed, as the user would read it.
    std::wstring tipShown() const;
    // A notification area started anew: it holds no icon.
    void forgetIcons();
};

// What a notification area that has just started broadcasts.
UINT taskbarCreatedMessage();

// One running VelmoMon.exe. The destructor kills it if it still runs; when
// the test has failed it first prints whether the program still ran or its
// exit code, the tail of the Wine output of the test's run (the file that
// VELMO_WINE_LOG names, see wine-run-with-double) and what "MY" holds.
struct Program {
    PROCESS_INFORMATION process = {};
    bool started = false;

    bool start(const std::string &exePath, const std::string &pcscConfig = std::string());
    bool running() const;
    // The exit code once it ended within the time limit, else STILL_ACTIVE.
    DWORD waitForExit(DWORD milliseconds = ProgramWaitLimit);
    HWND hiddenWindow(DWORD milliseconds = ProgramWaitLimit) const;
    // A visible top-level window of the program with this class (and title).
    HWND findWindow(const char *className, const char *title = NULL) const;
    HWND waitForWindow(const char *className, const char *title = NULL,
                       DWORD milliseconds = ProgramWaitLimit) const;
    void describe() const;
    ~Program();
};

std::vector<HWND> children(HWND window);

// When VELMO_SCREENSHOTS names a folder (scripts/screenshots sets it), asks
// for a picture of the screen as it is now and waits until it is taken.
void pauseForScreenshot(const char *name);

} // namespace driver
