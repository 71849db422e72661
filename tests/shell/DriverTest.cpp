// VelmoMon.exe from outside: start-up and exit codes, the tray icon, the
// popup menu, the PIN tool and the about box, driven through its hidden
// window the way the shell and the user's clicks reach it. Runs with
// WINEDLLOVERRIDES=winscard=n,b so that a winscard.dll beside the program
// (the PC/SC double) is used, and Wine's own where there is none.
#include <gtest/gtest.h>

#include <algorithm>

#include "Driver.h"

#include <sddl.h>

#include "shell/UserSid.h"

using namespace driver;

namespace {

const UINT MN_GETHMENU_MESSAGE = 0x01E1;
const char PinToolFolder[] = "C:\\Zimvor";
const char PinToolPath[] = "C:\\Zimvor\\Ravendel.exe";
const char PinToolMark[] = "C:\\Zimvor\\Ravendel.ran";

// The program running with the PC/SC double and no readers.
class RunningProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = prepareAppFolder(::testing::UnitTest::GetInstance()->current_test_info()->name(), true);
        config = folder + "\\pcsc.txt";
        ASSERT_TRUE(writeTextFile(config, "reader Test Reader 0\n"));
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        hidden = program.hiddenWindow();
        ASSERT_TRUE(hidden != NULL);
    }

    // Right button on the icon; answers the open menu's window.
    HWND openMenu()
    {
        pressRightButtonOnIcon(hidden);
        return program.waitForWindow("#32768");
    }

    HMENU menuOf(HWND menuWindow)
    {
        DWORD_PTR menu = 0;
        SendMessageTimeoutA(menuWindow, MN_GETHMENU_MESSAGE, 0, 0, SMTO_ABORTIFHUNG, ProgramWaitLimit, &menu);
        return (HMENU)menu;
    }

    bool menuClosed()
    {
        return waitUntil([&] { return program.findWindow("#32768") == NULL; });
    }

    // The icon the program added was taken out again, by the same window.
    void expectIconRemoved()
    {
        std::vector<DWORD> sent = tray.messages(); // the tip's changes aside
        sent.erase(std::remove(sent.begin(), sent.end(), (DWORD)NIM_MODIFY), sent.end());
        EXPECT_EQ(sent, (std::vector<DWORD>{NIM_ADD, NIM_DELETE}));
        ASSERT_EQ(tray.deleted().size(), 1u);
        EXPECT_EQ(tray.deleted()[0].window, hidden);
        EXPECT_EQ(tray.deleted()[0].id, 106u);
    }

    // The texts of a message box, OK aside.
    std::vector<std::string> textsOf(HWND box)
    {
        std::vector<std::string> texts;
        for (HWND control : children(box))
            if (className(control) != "Button" && !windowText(control).empty())
                texts.push_back(windowText(control));
        return texts;
    }

    void closeWithOk(HWND box)
    {
        HWND ok = GetDlgItem(box, IDOK);
        ASSERT_TRUE(ok != NULL);
        SendMessageTimeoutA(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, ProgramWaitLimit, NULL);
        EXPECT_TRUE(waitUntil([&] { return !IsWindow(box); }));
    }

    // True when the program shows no window at all for a while.
    bool showsNothing(DWORD milliseconds)
    {
        return !waitUntil([&] { return program.findWindow("#32768") || program.findWindow("#32770"); },
                          milliseconds);
    }

    std::string folder, config;
    StandInTray tray;
    Program program;
    HWND hidden = NULL;
};

void removePinTool()
{
    DeleteFileA(PinToolPath);
    DeleteFileA(PinToolMark);
}

// Without the smart-card service (here Wine's own winscard.dll, which has
// none) the program stays with its icon and its menu, waiting for it.
TEST(Startup, WithoutSmartCardServiceStaysWithItsIcon)
{
    StandInTray tray;
    Program program;
    const std::string folder = prepareAppFolder("NoService", false);
    ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe"));
    const HWND hidden = program.hiddenWindow();
    ASSERT_TRUE(hidden != NULL);
    EXPECT_EQ(program.waitForExit(3000), (DWORD)STILL_ACTIVE);
    ASSERT_EQ(tray.added().size(), 1u);
    pressRightButtonOnIcon(hidden);
    EXPECT_TRUE(program.waitForWindow("#32768") != NULL);
}

TEST_F(RunningProgram, AddsOneIconWithItsTipAndCallback)
{
    ASSERT_TRUE(waitUntil([&] { return !tray.added().empty(); }));
    const TrayIconRecord &icon = tray.added()[0];
    EXPECT_EQ(icon.processId, program.process.dwProcessId);
    EXPECT_EQ(icon.window, hidden);
    EXPECT_EQ(icon.id, 106u);
    EXPECT_EQ(icon.flags, (UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(icon.callbackMessage, 1124u);
    EXPECT_EQ(icon.tip, L"Velmo Monitor");
    EXPECT_EQ(icon.iconWidth, (UINT)GetSystemMetrics(SM_CXSMICON));
    EXPECT_EQ(icon.iconHeight, (UINT)GetSystemMetrics(SM_CYSMICON));
    EXPECT_EQ(icon.iconBitsPerPixel, 32u);
    EXPECT_EQ(tray.messages(), std::vector<DWORD>{NIM_ADD});
}

// A notification area started anew (Explorer restarted) holds no icon: the
// program puts its one icon back; a "TaskbarCreated" while the icon is
// there adds none.
TEST_F(RunningProgram, TaskbarCreatedPutsTheOneIconBack)
{
    ASSERT_TRUE(waitUntil([&] { return tray.iconsHeld() == 1; }));
    tray.forgetIcons();
    PostMessageA(hidden, taskbarCreatedMessage(), 0, 0);
    ASSERT_TRUE(waitUntil([&] { return tray.iconsHeld() == 1; }));
    PostMessageA(hidden, taskbarCreatedMessage(), 0, 0);
    waitUntil([] { return false; }, 1500);
    // Besides the tip's changes: one add at the start, one after the icons
    // were forgotten, and the second broadcast finds the icon there.
    const std::vector<DWORD> sent = tray.messages();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), (DWORD)NIM_ADD), 2);
    EXPECT_EQ(sent.back(), (DWORD)NIM_MODIFY);
    EXPECT_EQ(tray.iconsHeld(), 1u);
    EXPECT_EQ(tray.added().back().iconWidth, (UINT)GetSystemMetrics(SM_CXSMICON));
}

// Before the notification area is there it refuses the icon, which the
// program then offers every few seconds. The shell may give up on an offer
// that the notification area still carries out: NIM_MODIFY then finds the
// icon, and the offers end with one icon.
TEST(Startup, RefusedIconIsOfferedAgainUntilItIsThere)
{
    StandInTray tray;
    tray.answer(TrayAnswers::Refused);
    Program program;
    ASSERT_TRUE(program.start(prepareAppFolder("IconRefused", true) + "\\VelmoMon.exe"));
    ASSERT_TRUE(waitUntil([&] { return tray.messages().size() >= 3; }));
    tray.answer(TrayAnswers::GivenUpOn);
    ASSERT_TRUE(waitUntil([&] { return tray.iconsHeld() == 1; }));
    tray.answer(TrayAnswers::AsExplorer);
    const size_t offers = tray.messages().size();
    ASSERT_TRUE(waitUntil([&] { return tray.messages().size() > offers; }));
    EXPECT_FALSE(waitUntil([&] { return tray.messages().size() > offers + 1; }, 4000));
    EXPECT_EQ(tray.messages().back(), (DWORD)NIM_MODIFY);
    EXPECT_EQ(tray.iconsHeld(), 1u);
}

// The same user's copy that this one may not open the mutex of (one started
// elevated) runs in the session: this one ends at once.
TEST(Startup, ACopyWhoseMutexCannotBeOpenedEndsAtOnce)
{
    char sid[192];
    ASSERT_TRUE(readUserSidText(sid, sizeof sid));
    SECURITY_ATTRIBUTES guarded = {sizeof guarded, NULL, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:", SDDL_REVISION_1,
                                                                     &guarded.lpSecurityDescriptor, NULL));
    HANDLE held = CreateMutexA(&guarded, FALSE, (std::string("Local\\Zimvor.VelmoMon.Session.") + sid).c_str());
    LocalFree(guarded.lpSecurityDescriptor);
    ASSERT_TRUE(held != NULL);
    StandInTray tray;
    Program program;
    ASSERT_TRUE(program.start(prepareAppFolder("MutexGuarded", true) + "\\VelmoMon.exe"));
    EXPECT_EQ(program.waitForExit(), 0u);
    EXPECT_TRUE(tray.messages().empty());
    CloseHandle(held);
}

TEST_F(RunningProgram, HiddenWindowIsNeverShown)
{
    EXPECT_EQ(windowText(hidden), "");
    EXPECT_FALSE(IsWindowVisible(hidden));
    EXPECT_TRUE(GetParent(hidden) == NULL);
    EXPECT_TRUE(GetMenu(hidden) == NULL);
}

TEST_F(RunningProgram, LeftClicksAndMouseMovesDoNothing)
{
    const UINT mouse[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_MOUSEMOVE, WM_RBUTTONUP,
                          WM_RBUTTONDBLCLK, WM_MBUTTONDOWN};
    for (UINT message : mouse)
        PostMessageA(hidden, 1124, 106, message);
    EXPECT_TRUE(showsNothing(1500));
    EXPECT_TRUE(program.running());
}

TEST_F(RunningProgram, RightButtonOpensTheMenuAtTheCursor)
{
    SetCursorPos(200, 150);
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    RECT box;
    GetWindowRect(menu, &box);
    EXPECT_EQ(box.left, 200);
    EXPECT_EQ(box.top, 150);
    EXPECT_TRUE(menuOf(menu) != NULL);
    pauseForScreenshot("menu");
}

TEST_F(RunningProgram, MenuClosedWithoutChoiceIsKept)
{
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    const HMENU first = menuOf(menu);
    pressKey(menu, VK_ESCAPE);
    ASSERT_TRUE(menuClosed());
    menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    EXPECT_EQ(menuOf(menu), first);
}

// Checks the about box's controls in template order.
void expectAboutBoxControls(HWND box)
{
    struct Control {
        const char *className;
        int id;
        const char *text;
        LONG style;
    };
    const Control expected[] = {
        {"Button", IDOK, "Aceptar", 0x50010001},
        {"Static", -1, "VelmoMon 1.0.0.9", 0x50020000},
        {"Static", -1, "Zimvor", 0x50020000},
        {"Static", -1, NULL, 0x50000003},
    };
    const std::vector<HWND> controls = children(box);
    ASSERT_EQ(controls.size(), 4u);
    for (size_t i = 0; i < controls.size(); i++) {
        EXPECT_EQ(className(controls[i]), expected[i].className) << i;
        EXPECT_EQ((short)GetDlgCtrlID(controls[i]), expected[i].id) << i;
        EXPECT_EQ(GetWindowLongA(controls[i], GWL_STYLE), expected[i].style) << i;
        if (expected[i].text) {
            EXPECT_EQ(windowText(controls[i]), expected[i].text) << i;
        }
    }
    EXPECT_TRUE(SendMessageA(controls[3], STM_GETICON, 0, 0) != 0);
    EXPECT_EQ(windowText(box), "");
    EXPECT_EQ(GetWindowLongA(box, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU), 0);
}

TEST_F(RunningProgram, AboutBoxShowsItsTextsAndOnlyOkEndsIt)
{
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    const HMENU first = menuOf(menu);
    chooseMenuEntry(menu, 3);
    HWND box = program.waitForWindow("#32770");
    ASSERT_TRUE(box != NULL);
    expectAboutBoxControls(box);
    pauseForScreenshot("about");

    pressKey(box, VK_ESCAPE);
    EXPECT_FALSE(waitUntil([&] { return !IsWindow(box); }, 1500)) << "Escape closed the about box";
    pressKey(box, VK_RETURN);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(box); })) << "Enter did not close the about box";

    // "Aceptar" clicked, and the same menu as before the box.
    menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    EXPECT_EQ(menuOf(menu), first);
    chooseMenuEntry(menu, 3);
    box = program.waitForWindow("#32770");
    ASSERT_TRUE(box != NULL);
    SendMessageTimeoutA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, ProgramWaitLimit, NULL);
    EXPECT_TRUE(waitUntil([&] { return !IsWindow(box); })) << "Aceptar did not close the about box";
    EXPECT_TRUE(program.running());
}

TEST_F(RunningProgram, PinEntryStartsTheToolAndRebuildsTheMenu)
{
    removePinTool();
    CreateDirectoryA(PinToolFolder, NULL);
    ASSERT_TRUE(CopyFileA(pinStandInPath().c_str(), PinToolPath, FALSE));
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    const HMENU first = menuOf(menu);
    chooseMenuEntry(menu, 1);
    EXPECT_TRUE(waitUntil([] { return fileExists(PinToolMark); })) << "the PIN tool did not run";
    EXPECT_TRUE(showsNothing(500));
    menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    EXPECT_NE(menuOf(menu), first);
    removePinTool();
}

TEST_F(RunningProgram, MissingPinToolIsReportedAndTheTrayGoesOn)
{
    removePinTool();
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    const HMENU first = menuOf(menu);
    chooseMenuEntry(menu, 1);
    HWND box = program.waitForWindow("#32770", "Aviso Zimvor");
    ASSERT_TRUE(box != NULL);
    EXPECT_EQ(textsOf(box), std::vector<std::string>{"No se pudo lanzar la aplicaci\xF3n Cambio de Pin"});
    closeWithOk(box);

    menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    EXPECT_NE(menuOf(menu), first);
    EXPECT_TRUE(program.running());
}

// The administrator's policy refuses a PIN tool that others may change,
// read at start-up from the 64-bit view.
class ProgramRefusingWritableTools : public RunningProgram {
    void SetUp() override
    {
        const DWORD on = 1;
        ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, PolicyKey, "RefuseWritablePinTool", REG_DWORD, &on, sizeof on),
                  ERROR_SUCCESS);
        RunningProgram::SetUp();
    }
    void TearDown() override
    {
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, PolicyKey, "RefuseWritablePinTool");
        removePinTool();
        RemoveDirectoryA(PinToolFolder);
    }
    static constexpr const char *PolicyKey = "Software\\Policies\\Velmo\\VelmoMon";
};

// Every user may add files beside the tool: it is not started, and the
// warning says why.
TEST_F(ProgramRefusingWritableTools, ToolInAFolderOthersMayWriteIsRefused)
{
    removePinTool();
    CreateDirectoryA(PinToolFolder, NULL);
    ASSERT_TRUE(CopyFileA(pinStandInPath().c_str(), PinToolPath, FALSE));
    PSECURITY_DESCRIPTOR everyoneWrites = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;BA)(A;;0x1301bf;;;WD)",
                                                                     SDDL_REVISION_1, &everyoneWrites, NULL));
    EXPECT_TRUE(SetFileSecurityA(PinToolFolder, DACL_SECURITY_INFORMATION, everyoneWrites));
    LocalFree(everyoneWrites);

    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    chooseMenuEntry(menu, 1);
    HWND box = program.waitForWindow("#32770", "Aviso Zimvor");
    ASSERT_TRUE(box != NULL);
    ASSERT_EQ(textsOf(box).size(), 1u);
    EXPECT_NE(textsOf(box)[0].find("otras cuentas de este equipo pueden modificar"), std::string::npos);
    closeWithOk(box);
    EXPECT_FALSE(fileExists(PinToolMark));
}

// A copy started after the first ended is the session's copy again.
TEST_F(RunningProgram, CerrarEndsWithExitCodeZeroAndTakesTheIcon)
{
    HWND menu = openMenu();
    ASSERT_TRUE(menu != NULL);
    chooseMenuEntry(menu, 2);
    EXPECT_EQ(program.waitForExit(), 0u);
    expectIconRemoved();

    Program next;
    ASSERT_TRUE(next.start(folder + "\\VelmoMon.exe", config));
    EXPECT_TRUE(next.hiddenWindow() != NULL);
    EXPECT_TRUE(waitUntil([&] { return tray.added().size() == 2; }));
    EXPECT_TRUE(next.running());
}

TEST_F(RunningProgram, WindowClosedFromOutsideEndsWithExitCodeOneAndTakesTheIcon)
{
    PostMessageA(hidden, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.waitForExit(), 1u);
    expectIconRemoved();
}

// Log-off, shut-down, or an installer's Restart Manager: the query is
// answered yes (only a sent query has an answer); an end called off changes
// nothing; the end itself ends the program with 0 and takes its icon.
TEST_F(RunningProgram, EndOfSessionEndsWithExitCodeZeroAndTakesTheIcon)
{
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(hidden, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG,
                                    ProgramWaitLimit, &answer));
    EXPECT_EQ(answer, (DWORD_PTR)TRUE);
    ASSERT_TRUE(SendMessageTimeoutA(hidden, WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG,
                                    ProgramWaitLimit, &answer));
    EXPECT_EQ(program.waitForExit(1000), (DWORD)STILL_ACTIVE);
    PostMessageA(hidden, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    EXPECT_EQ(program.waitForExit(), 0u);
    expectIconRemoved();
}

TEST_F(RunningProgram, QuitMessageEndsWithExitCodeOneAndTakesTheIcon)
{
    PostMessageA(hidden, WM_QUIT, 0, 0);
    EXPECT_EQ(program.waitForExit(), 1u);
    expectIconRemoved();
}

} // namespace
