// The shell's policy values, under the same key as the event log's and in
// the 64-bit view, where Group Policy writes them (on 32-bit Windows the
// view is ignored). Start-up reads them once.
#include "Policy.h"

#include <windows.h>

static const char PolicyKey[] = "Software\\Policies\\Velmo\\VelmoMon";

// A DWORD of 1 turns the value on; any other value, or none, is off.
static bool policyValueOn(const char *name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0, type = REG_NONE, size = sizeof value;
    const LONG result = RegQueryValueExA(key, name, NULL, &type, (BYTE *)&value, &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 1;
}

bool policyRefusesWritablePinTool()
{
    return policyValueOn("RefuseWritablePinTool");
}
