// The window procedure, the icon record and the PIN tool's launch, in this
// process: the menu's exact entries and when it is dropped or kept, the
// tip's length, and which tools are started, how, and which refused.
#include <gtest/gtest.h>

#include <process.h>

#include "Driver.h"

#include <sddl.h>
#include <wtsapi32.h>

#include "monitor/Monitor.h"
#include "shell/PinTool.h"
#include "shell/Shell.h"
#include "shell/resource.h"

using namespace driver;

// The monitor's side of a resume, of the session's changes and of the end,
// counted here: the tray test links the window procedure without the
// monitor.
static int readerChecksRequested, monitorStops;
static std::string sessionTold; // "+" connected, "-" disconnected, in order
void requestReaderCheck(MonitorState &) { readerChecksRequested++; }
void setSessionConnected(MonitorState &, bool on) { sessionTold += on ? "+" : "-"; }
bool stopMonitor(MonitorState &, DWORD waitMs) { return waitMs == 3000 && ++monitorStops; }
static std::string statusLine; // what the monitor would say it sees
void readStatusLine(MonitorState &, char *line, size_t size) { lstrcpynA(line, statusLine.c_str(), (int)size); }
static MonitorState monitor;

namespace {

// A hidden window of the program's own procedure, as start-up makes it.
class TrayWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = TrayWindowProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "TrayTestClass";
        RegisterClassA(&windowClass);
        window =
            CreateWindowExA(0, "TrayTestClass", "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, &tray);
        ASSERT_TRUE(window != NULL);
    }
    void TearDown() override
    {
        if (IsWindow(window))
            DestroyWindow(window);
        UnregisterClassA("TrayTestClass", GetModuleHandleA(NULL));
    }

    void command(WORD id) { SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

    TrayState tray = {&monitor, false, 0, NULL, false};
    HWND window = NULL;
};

std::string entryText(HMENU menu, int position)
{
    char text[128] = "";
    GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    return text;
}

TEST_F(TrayWindow, CreationBuildsTheMenuAndRecordsTheInstance)
{
    ASSERT_TRUE(trayMenu != NULL);
    EXPECT_EQ(trayInstance, GetModuleHandleA(NULL));
    ASSERT_EQ(GetMenuItemCount(trayMenu), 4);
    EXPECT_EQ(entryText(trayMenu, 0), "Cambio y Desbloqueo de Pin");
    EXPECT_EQ(GetMenuItemID(trayMenu, 0), (UINT)IDM_PINTOOL);
    EXPECT_EQ(entryText(trayMenu, 1), "Cerrar VelmoMon");
    EXPECT_EQ(GetMenuItemID(trayMenu, 1), (UINT)IDM_EXIT);
    EXPECT_EQ(GetMenuState(trayMenu, 2, MF_BYPOSITION) & MF_SEPARATOR, (UINT)MF_SEPARATOR);
    EXPECT_EQ(entryText(trayMenu, 3), "Acerca de...");
    EXPECT_EQ(GetMenuItemID(trayMenu, 3), (UINT)IDM_ABOUT);
    for (int position : {0, 1, 3})
        EXPECT_EQ(GetMenuState(trayMenu, position, MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED | MF_CHECKED), 0u);
}

TEST_F(TrayWindow, MenuIsDroppedByUnknownCommandsDropRequestsAndDestruction)
{
    command(12345);
    EXPECT_TRUE(trayMenu == NULL);
    buildTrayMenu();
    SendMessageA(window, WM_DROPTRAYMENU, 0, 0);
    EXPECT_TRUE(trayMenu == NULL);
    SendMessageA(window, WM_DROPTRAYMENU, 0, 0); // nothing left to drop
    EXPECT_TRUE(trayMenu == NULL);
    buildTrayMenu();
    DestroyWindow(window);
    EXPECT_TRUE(trayMenu == NULL);
}

// Ends the first box of this process titled `title` (or untitled) with OK.
unsigned __stdcall closeBoxLater(void *title)
{
    for (int tries = 0; tries < 750; tries++) {
        HWND box = FindWindowA("#32770", (const char *)title);
        DWORD processId = 0;
        GetWindowThreadProcessId(box, &processId);
        if (box && processId == GetCurrentProcessId() && IsWindowVisible(box)) {
            SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
            return 1;
        }
        Sleep(20);
    }
    return 0;
}

unsigned runWhileClosingBox(const std::function<void()> &action, const char *title)
{
    HANDLE closer = (HANDLE)_beginthreadex(NULL, 0, closeBoxLater, (void *)title, 0, NULL);
    action();
    WaitForSingleObject(closer, 20000);
    DWORD closed = 0;
    GetExitCodeThread(closer, &closed);
    CloseHandle(closer);
    return closed;
}

TEST_F(TrayWindow, AboutBoxKeepsTheMenu)
{
    const HMENU before = trayMenu;
    EXPECT_EQ(runWhileClosingBox([&] { command(IDM_ABOUT); }, ""), 1u);
    EXPECT_EQ(trayMenu, before);
}

TEST_F(TrayWindow, PinEntryDropsTheMenuWhetherOrNotTheToolStarts)
{
    DeleteFileA("C:\\Zimvor\\Ravendel.exe");
    EXPECT_EQ(runWhileClosingBox([&] { command(IDM_PINTOOL); }, "Aviso Zimvor"), 1u);
    EXPECT_TRUE(trayMenu == NULL);
}

TEST_F(TrayWindow, ResumeFromSleepAsksTheMonitorToCheckEveryReader)
{
    readerChecksRequested = 0;
    EXPECT_EQ(SendMessageA(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0), TRUE);
    EXPECT_EQ(readerChecksRequested, 0);
    EXPECT_EQ(SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), TRUE);
    EXPECT_EQ(SendMessageA(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0), TRUE);
    EXPECT_EQ(readerChecksRequested, 2);
}

// A disconnected session (console or remote) turns the monitor's reading
// off, a connected one on; locking changes nothing. The end stops it.
TEST_F(TrayWindow, SessionChangesTurnTheMonitorOffAndOnAndTheEndStopsIt)
{
    sessionTold.clear();
    monitorStops = 0;
    for (WPARAM change : {WTS_CONSOLE_DISCONNECT, WTS_SESSION_LOCK, WTS_REMOTE_CONNECT, WTS_SESSION_UNLOCK,
                          WTS_REMOTE_DISCONNECT, WTS_CONSOLE_CONNECT, WTS_SESSION_LOGON})
        SendMessageA(window, WM_WTSSESSION_CHANGE, change, 1);
    EXPECT_EQ(sessionTold, "-+-+");
    EXPECT_EQ(monitorStops, 0);
    DestroyWindow(window);
    EXPECT_EQ(monitorStops, 1);
}

// The icon's tip follows what the monitor sees, each time it tells that
// the line changed; an icon re-added after Explorer restarts keeps it.
TEST_F(TrayWindow, TipTellsWhatTheMonitorSees)
{
    StandInTray shell;
    statusLine.clear();
    showTrayIcon(window, tray);
    statusLine = "Tarjeta leida: 3 certificados";
    SendMessageA(window, WM_STATUSLINECHANGED, 0, 0);
    EXPECT_EQ(shell.tipShown(), L"Velmo Monitor\nTarjeta leida: 3 certificados");
    shell.forgetIcons();
    statusLine = std::string(49, 'x');
    SendMessageA(window, taskbarCreatedMessage(), 0, 0);
    EXPECT_EQ(shell.tipShown(), L"Velmo Monitor\n" + std::wstring(49, L'x'));
    ASSERT_EQ(shell.added().size(), 2u);
    EXPECT_EQ(shell.added()[0].tip, L"Velmo Monitor");
    statusLine.clear();
}

TEST(TrayIcon, TipIsCutTo63CharactersAndTheShellsAnswerReturned)
{
    StandInTray tray;
    const std::string longTip(100, 'x');
    EXPECT_EQ(addTrayIcon(NULL, 7, NULL, longTip.c_str()), 1);
    EXPECT_EQ(addTrayIcon(NULL, 8, NULL, std::string(63, 'y').c_str()), 1);
    EXPECT_EQ(addTrayIcon(NULL, 9, NULL, NULL), 1);
    ASSERT_EQ(tray.added().size(), 3u);
    EXPECT_EQ(tray.added()[0].tip, std::wstring(63, L'x'));
    EXPECT_EQ(tray.added()[0].id, 7u);
    EXPECT_EQ(tray.added()[1].tip, std::wstring(63, L'y'));
    EXPECT_EQ(tray.added()[2].tip, L"");
    EXPECT_EQ(tray.added()[2].flags, (UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(tray.added()[2].callbackMessage, 1124u);
}

PSECURITY_DESCRIPTOR descriptorOf(const char *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL);
    return descriptor;
}

#define USER "S-1-5-21-1-2-3-1001"
#define OTHER "S-1-5-21-1-2-3-1002"
#define INSTALLER "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
// As an installer running as SYSTEM leaves them, but for the inheritance
// from the drive's root, which passes on and grants nothing here.
const char LockedFile[] = "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)";
const char LockedFolder[] = "O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;OICIIO;0x1301bf;;;AU)";

TEST(PinToolTrust, OwnersAndWhoMayWriteTheFileOrItsFolder)
{
    struct Case {
        const char *name, *file, *folder;
        PinToolTrust trust;
    };
    const Case cases[] = {
        {"installed and locked down", LockedFile, LockedFolder, PinToolTrusted},
        {"TrustedInstaller's", "O:" INSTALLER "D:(A;;FA;;;" INSTALLER ")", LockedFolder, PinToolTrusted},
        {"the user's own", "O:" USER "D:(A;;FA;;;" USER ")", "O:" USER "D:(A;;FA;;;" USER ")", PinToolTrusted},
        {"another account's", "O:" OTHER "D:(A;;0x1200a9;;;WD)", LockedFolder, PinToolPlanted},
        {"another's, others may write", "O:" OTHER "D:(A;;FA;;;WD)", "O:BAD:(A;;FA;;;WD)", PinToolPlanted},
        {"others may modify it", "O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)", LockedFolder, PinToolOthersMayWrite},
        {"others may append to it", "O:BAD:(A;;FA;;;BA)(A;;0x4;;;BU)", LockedFolder, PinToolOthersMayWrite},
        {"others may change its DACL", "O:BAD:(A;;WD;;;BU)", LockedFolder, PinToolOthersMayWrite},
        {"generic write for everyone", "O:BAD:(A;;GW;;;WD)", LockedFolder, PinToolOthersMayWrite},
        {"no DACL", "O:BA", LockedFolder, PinToolOthersMayWrite},
        {"others may add files beside it", LockedFile, "O:BAD:(A;;FA;;;BA)(A;;0x2;;;AU)", PinToolOthersMayWrite},
        {"others may delete beside it", LockedFile, "O:BAD:(A;;FA;;;BA)(A;;0x40;;;AU)", PinToolOthersMayWrite},
        {"others may rename its folder", LockedFile, "O:BAD:(A;;FA;;;BA)(A;;SD;;;AU)", PinToolOthersMayWrite},
        {"its folder another's", LockedFile, "O:" OTHER "D:(A;;FA;;;BA)", PinToolOthersMayWrite},
    };
    PSID user = NULL;
    ASSERT_TRUE(ConvertStringSidToSidA(USER, &user));
    for (const Case &c : cases) {
        PSECURITY_DESCRIPTOR file = descriptorOf(c.file), folder = descriptorOf(c.folder);
        ASSERT_TRUE(file && folder) << c.name;
        EXPECT_EQ(judgePinTool(file, folder, user), c.trust) << c.name;
        LocalFree(file);
        LocalFree(folder);
    }
    EXPECT_EQ(judgePinTool(NULL, descriptorOf(LockedFolder), user), PinToolOthersMayWrite) << "unreadable";
    LocalFree(user);
}

// The platform's answers for one launch, and what the launch asked of it.
struct LaunchPlatform {
    const char *file; // the tool's descriptor; NULL: no such file
    DWORD started, elevated;
    std::vector<std::string> calls, warnings;
} platform;

DWORD answerSecurity(const char *path, PSECURITY_DESCRIPTOR *descriptor)
{
    const bool tool = strchr(path + 3, '\\') != NULL; // C:\Zimvor\Ravendel.exe, not C:\Zimvor
    if (tool && !platform.file)
        return ERROR_FILE_NOT_FOUND;
    *descriptor = descriptorOf(tool ? platform.file : LockedFolder);
    return ERROR_SUCCESS;
}
DWORD answerStart(const char *path, const char *how, DWORD answer)
{
    platform.calls.push_back(std::string(how) + path);
    return answer;
}
DWORD answerPlainStart(const char *path) { return answerStart(path, "start ", platform.started); }
DWORD answerElevatedStart(const char *path) { return answerStart(path, "elevate ", platform.elevated); }
void recordWarning(const char *text) { platform.warnings.push_back(text); }

TEST(PinToolLaunch, ElevationOnlyForAToolNoOtherMayChangeAndRefusalsThatSayWhy)
{
    const PinToolCalls calls = {answerSecurity, answerPlainStart, answerElevatedStart, recordWarning};
    const char *const Writable = "O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;AU)";
    const std::string start = "start C:\\Zimvor\\Ravendel.exe", elevate = "elevate C:\\Zimvor\\Ravendel.exe";
    const std::string cannot = "No se pudo lanzar la aplicaci\xF3n Cambio de Pin";
    const std::string refused = "No se ha lanzado la aplicaci\xF3n Cambio de Pin";
    const std::string why = " otras cuentas de este equipo pueden modificar C:\\Zimvor\\Ravendel.exe o su carpeta";
    struct Case {
        const char *name, *file;
        bool refuseWritable;
        DWORD started, elevated;
        std::vector<std::string> calls, warnings;
    };
    const Case cases[] = {
        {"locked down", LockedFile, true, ERROR_SUCCESS, 0, {start}, {}},
        {"failing", LockedFile, false, ERROR_ACCESS_DENIED, 0, {start}, {cannot}},
        {"missing", NULL, false, ERROR_SUCCESS, 0, {}, {cannot}},
        {"asking for elevation", LockedFile, false, 740, ERROR_SUCCESS, {start, elevate}, {}},
        {"elevation declined", LockedFile, false, 740, ERROR_CANCELLED, {start, elevate}, {}},
        {"elevation failing", LockedFile, false, 740, ERROR_FILE_NOT_FOUND, {start, elevate}, {cannot}},
        {"writable, allowed", Writable, false, ERROR_SUCCESS, 0, {start}, {}},
        {"writable, refused by policy", Writable, true, ERROR_SUCCESS, 0, {},
         {refused + ":" + why + ", y la directiva del administrador no permite lanzarla as\xED."}},
        {"writable, asking for elevation", Writable, false, 740, ERROR_SUCCESS, {start},
         {refused + " como administrador:" + why + "."}},
        {"another account's", "O:" OTHER "D:(A;;FA;;;BA)", false, ERROR_SUCCESS, 0, {},
         {refused + ": C:\\Zimvor\\Ravendel.exe pertenece a otra cuenta de este equipo, que puede haberlo "
                    "puesto ah\xED."}},
    };
    for (const Case &c : cases) {
        platform = {c.file, c.started, c.elevated, {}, {}};
        launchPinTool(calls, c.refuseWritable);
        EXPECT_EQ(platform.calls, c.calls) << c.name;
        EXPECT_EQ(platform.warnings, c.warnings) << c.name;
    }
}

} // namespace
