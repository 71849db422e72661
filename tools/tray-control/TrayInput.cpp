// Window searches and the messages that clicks and keys produce.
#include "TrayInput.h"

#include <string.h>

namespace trayinput {
namespace {

struct WindowSearch {
    DWORD processId;
    const char *className;
    const char *title;
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter)
{
    WindowSearch &search = *(WindowSearch *)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search.processId || className(window) != search.className)
        return TRUE;
    if (search.visibleOnly && !IsWindowVisible(window))
        return TRUE;
    if (search.title && windowText(window) != search.title)
        return TRUE;
    search.found = window;
    return FALSE;
}

// Offsets in Wine's record.
const size_t TipOffset = 16, IconGeometryOffset = 944, NotifyRecordSize = 960;

UINT readUint(const BYTE *bytes, size_t offset)
{
    UINT value;
    memcpy(&value, bytes + offset, sizeof value);
    return value;
}

} // namespace

bool readNotifyRecord(const COPYDATASTRUCT &data, NotifyRecord &record)
{
    if (data.cbData < NotifyRecordSize)
        return false;
    const BYTE *bytes = (const BYTE *)data.lpData;
    record.action = (DWORD)data.dwData;
    record.window = (HWND)(LONG_PTR)(LONG)readUint(bytes, 0);
    record.id = readUint(bytes, 4);
    record.flags = readUint(bytes, 8);
    record.callbackMessage = readUint(bytes, 12);
    WCHAR tip[128];
    memcpy(tip, bytes + TipOffset, sizeof tip);
    tip[127] = 0;
    record.tip = tip;
    record.iconWidth = readUint(bytes, IconGeometryOffset);
    record.iconHeight = readUint(bytes, IconGeometryOffset + 4);
    record.iconBitsPerPixel = readUint(bytes, IconGeometryOffset + 12);
    return true;
}

std::string windowText(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string className(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

HWND findProcessWindow(DWORD processId, const char *name, const char *title, bool visibleOnly)
{
    WindowSearch search = {processId, name, title, visibleOnly, NULL};
    EnumWindows(matchWindow, (LPARAM)&search);
    return search.found;
}

void pressRightButtonOnIcon(HWND hidden)
{
    PostMessageA(hidden, TrayNotifyMessage, TrayIconId, WM_RBUTTONDOWN);
}

void pressKey(HWND window, UINT key)
{
    PostMessageA(window, WM_KEYDOWN, key, 1);
    PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

void chooseMenuEntry(HWND menuWindow, int entry)
{
    for (int i = 0; i < entry; i++)
        pressKey(menuWindow, VK_DOWN);
    pressKey(menuWindow, VK_RETURN);
}

} // namespace trayinput
