// Reading the administrator's values from the machine's registry.
#include "Settings.h"

// A value counts only when it is a DWORD within the row's range: anything
// else is as good as absent, so that a mistyped value falls back rather than
// turning something on.
static bool readDword(const char *keyName, REGSAM view, const PolicyValue &setting, DWORD &value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return false;
    DWORD data = 0, type = REG_NONE, size = sizeof data;
    const LONG result = RegQueryValueExA(key, setting.name, NULL, &type, (BYTE *)&data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data)
        return false;
    if (data < setting.minimum || data > setting.maximum)
        return false;
    value = data;
    return true;
}

// The policy is read once, in the 64-bit view, where the administrator's
// tools write it. Windows keeps one Software\Policies for both views; Wine
// does only where the prefix links the 32-bit one to it, as Wine 8's own
// set-up does. On 32-bit Windows the flag is ignored. The preference is read
// in the program's own view, where the package of the same architecture
// writes it.
bool readPolicyDword(const PolicyValue &setting, DWORD &value)
{
    value = setting.fallback;
    if (setting.type != REG_DWORD)
        return false;
    if (readDword(PolicyKey, KEY_WOW64_64KEY, setting, value))
        return true;
    return setting.hasPreference && readDword(PreferenceKey, 0, setting, value);
}
