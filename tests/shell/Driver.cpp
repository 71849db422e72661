// The driver's plumbing: files, the stand-in tray, process and window
// searches, and the messages that clicks and keys produce.
#include "Driver.h"

#include <stdio.h>
#include <string.h>

#include "helpers/PlatformStore.h"

namespace driver {
namespace {

std::string windowsPath(const char *unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string testFolder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string folder(path, length < MAX_PATH ? length : 0);
    return folder.substr(0, folder.find_last_of('\\'));
}

// Everything the stand-in tray has been told, in order, and what it holds.
struct TrayLog {
    std::vector<TrayIconRecord> added, deleted;
    std::vector<DWORD> messages;
    std::set<std::pair<HWND, UINT>> held;
    std::wstring tip;
    TrayAnswers answers = TrayAnswers::AsExplorer;
};
TrayLog trayLog;
HWND trayWindow = NULL;

// Carries out the request as Explorer would; answers whether it did.
bool carryOut(const TrayIconRecord &record)
{
    const std::pair<HWND, UINT> icon(record.window, record.id);
    switch (record.action) {
    case NIM_ADD:
        return trayLog.held.insert(icon).second;
    case NIM_DELETE:
        return trayLog.held.erase(icon) != 0;
    default:
        return trayLog.held.count(icon) != 0;
    }
}

LRESULT CALLBACK trayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return DefWindowProcA(window, message, wParam, lParam);
    const COPYDATASTRUCT *data = (const COPYDATASTRUCT *)lParam;
    trayLog.messages.push_back((DWORD)data->dwData);
    TrayIconRecord record = {};
    if (!trayinput::readNotifyRecord(*data, record))
        return FALSE;
    GetWindowThreadProcessId(record.window, &record.processId);
    if (record.action == NIM_ADD)
        trayLog.added.push_back(record);
    if (record.action == NIM_DELETE)
        trayLog.deleted.push_back(record);
    if (trayLog.answers == TrayAnswers::Refused)
        return FALSE;
    const bool done = carryOut(record);
    if (done && record.action != NIM_DELETE && (record.flags & NIF_TIP))
        trayLog.tip = record.tip;
    return done && trayLog.answers == TrayAnswers::AsExplorer;
}

using trayinput::findProcessWindow;

const size_t WineLogTailLines = 40;
const DWORD WineLogTailBytes = 16384;

// The last lines of a file that Wine may still be writing.
std::string fileTail(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "(cannot be read)\n";
    LARGE_INTEGER size = {}, start = {};
    GetFileSizeEx(file, &size);
    start.QuadPart = size.QuadPart > WineLogTailBytes ? size.QuadPart - WineLogTailBytes : 0;
    SetFilePointerEx(file, start, NULL, FILE_BEGIN);
    std::string text(WineLogTailBytes, '\0');
    DWORD read = 0;
    if (!ReadFile(file, &text[0], WineLogTailBytes, &read, NULL))
        read = 0;
    CloseHandle(file);
    text.resize(read);
    size_t from = text.size(), lines = 0;
    if (from > 0 && text[from - 1] == '\n')
        from--;
    for (; from > 0; from--)
        if (text[from - 1] == '\n' && ++lines == WineLogTailLines)
            break;
    return text.substr(from);
}

std::string narrow(const std::wstring &text)
{
    std::string narrowed;
    for (wchar_t c : text)
        narrowed += c < 0x80 ? (char)c : '?';
    return narrowed;
}

void printPersonalStore()
{
    const std::map<Thumbprint, StoreEntry> entries = personalStore();
    printf("\"MY\" holds %u certificates%s\n", (unsigned)entries.size(), entries.empty() ? "" : ":");
    for (const auto &entry : entries) {
        printf("  ");
        for (unsigned char octet : entry.first)
            printf("%02X", octet);
        const ProviderBinding &binding = entry.second.binding;
        if (entry.second.bound)
            printf("  %s  %s  key spec %lu\n", narrow(binding.provider).c_str(), narrow(binding.container).c_str(),
                   binding.keySpec);
        else
            printf("  bound to no key\n");
    }
}

} // namespace

std::string velmoMonPath() { return windowsPath(VELMOMON_EXE); }
std::string fakeWinscardPath() { return windowsPath(FAKE_WINSCARD_DLL); }
std::string pinStandInPath() { return windowsPath(PIN_STANDIN_EXE); }

std::string prepareAppFolder(const std::string &name, bool withFakeWinscard)
{
    const std::string runs = testFolder() + "\\shell-runs";
    const std::string folder = runs + "\\" + name;
    CreateDirectoryA(runs.c_str(), NULL);
    CreateDirectoryA(folder.c_str(), NULL);
    CopyFileA(velmoMonPath().c_str(), (folder + "\\VelmoMon.exe").c_str(), FALSE);
    const std::string dll = folder + "\\winscard.dll";
    if (withFakeWinscard)
        CopyFileA(fakeWinscardPath().c_str(), dll.c_str(), FALSE);
    else
        DeleteFileA(dll.c_str());
    return folder;
}

// The PC/SC double in a running program reads its configuration file at
// every poll: a write that meets that read is tried again for up to 5 s.
bool writeTextFile(const std::string &path, const std::string &text)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; attempt++) {
        file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        if (file == INVALID_HANDLE_VALUE)
            Sleep(50);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == text.size();
}

bool fileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool waitUntil(const std::function<bool()> &done, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT);
    }
}

StandInTray::StandInTray()
{
    trayLog = TrayLog();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = trayProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "Shell_TrayWnd";
    RegisterClassA(&windowClass);
    trayWindow = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0,
                                 NULL, NULL, windowClass.hInstance, NULL);
}

StandInTray::~StandInTray()
{
    DestroyWindow(trayWindow);
    trayWindow = NULL;
}

const std::vector<TrayIconRecord> &StandInTray::added() const { return trayLog.added; }
const std::vector<TrayIconRecord> &StandInTray::deleted() const { return trayLog.deleted; }
std::vector<DWORD> StandInTray::messages() const { return trayLog.messages; }
std::wstring StandInTray::tipShown() const { return trayLog.tip; }
void StandInTray::answer(TrayAnswers how) { trayLog.answers = how; }
size_t StandInTray::iconsHeld() const { return trayLog.held.size(); }
void StandInTray::forgetIcons() { trayLog.held.clear(); }

UINT taskbarCreatedMessage() { return RegisterWindowMessageA("TaskbarCreated"); }

bool Program::start(const std::string &exePath, const std::string &pcscConfig)
{
    SetEnvironmentVariableA("FAKE_PCSC_CONFIG", pcscConfig.empty() ? NULL : pcscConfig.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exePath + "\"";
    started = CreateProcessA(exePath.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                             &process) != 0;
    return started;
}

bool Program::running() const
{
    return started && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Program::waitForExit(DWORD milliseconds)
{
    if (!started || !waitUntil([this] { return !running(); }, milliseconds))
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

HWND Program::hiddenWindow(DWORD milliseconds) const
{
    HWND window = NULL;
    waitUntil([&] { return (window = findProcessWindow(process.dwProcessId, "DovaReraClass", NULL, false)); },
              milliseconds);
    return window;
}

HWND Program::findWindow(const char *name, const char *title) const
{
    return findProcessWindow(process.dwProcessId, name, title, true);
}

HWND Program::waitForWindow(const char *name, const char *title, DWORD milliseconds) const
{
    HWND window = NULL;
    waitUntil([&] { return (window = findWindow(name, title)) != NULL; }, milliseconds);
    return window;
}

void Program::describe() const
{
    DWORD code = STILL_ACTIVE;
    if (!started)
        printf("VelmoMon.exe did not start\n");
    else if (running())
        printf("VelmoMon.exe still runs (process %lu)\n", process.dwProcessId);
    else if (GetExitCodeProcess(process.hProcess, &code))
        printf("VelmoMon.exe has ended with exit code %ld (0x%08lX)\n", (long)code, code);
    char log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("VELMO_WINE_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        printf("No Wine output was kept (VELMO_WINE_LOG is not set)\n");
    else
        printf("The last lines of Wine's output in this test (%s, WINEDEBUG=err+all):\n%s", log,
               fileTail(windowsPath(log)).c_str());
    printPersonalStore();
    fflush(stdout);
}

Program::~Program()
{
    // Once per failed test: a test may run the program more than once.
    static const ::testing::TestInfo *described = NULL;
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (::testing::Test::HasFailure() && test != described) {
        described = test;
        describe();
    }
    if (!started)
        return;
    if (running()) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, ProgramWaitLimit);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::vector<HWND> children(HWND window)
{
    std::vector<HWND> list;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        list.push_back(child);
    return list;
}

void pauseForScreenshot(const char *name)
{
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("VELMO_SCREENSHOTS", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::string request = std::string(folder) + "\\" + name + ".wanted";
    if (writeTextFile(request, name))
        waitUntil([&] { return !fileExists(request); });
}

} // namespace driver
