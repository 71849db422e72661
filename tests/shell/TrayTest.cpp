// The window procedure and the icon record, in this process: the menu's
// exact entries and when it is dropped or kept, and the tip's length.
#include <gtest/gtest.h>

#include <process.h>

#include "Driver.h"
#include "monitor/Monitor.h"
#include "shell/Shell.h"
#include "shell/resource.h"

using namespace driver;

// The monitor's side of a resume, counted here: the tray test links the
// window procedure without the monitor.
static int readerChecksRequested;
void requestReaderCheck(MonitorState &) { readerChecksRequested++; }
bool stopMonitor(MonitorState &, DWORD) { return true; }
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
        window = CreateWindowExA(0, "TrayTestClass", "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, &monitor);
        ASSERT_TRUE(window != NULL);
    }
    void TearDown() override
    {
        if (IsWindow(window))
            DestroyWindow(window);
        UnregisterClassA("TrayTestClass", GetModuleHandleA(NULL));
    }

    void command(WORD id) { SendMessageA(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

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

} // namespace
