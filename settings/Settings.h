// The values an administrator sets for VelmoMon, one row each: the policy
// value under HKLM\Software\Policies\Velmo\VelmoMon, which Group Policy
// writes through the templates built from this table, and for some of them a
// preference under HKLM\Software\Zimvor\VelmoMon, the program's own key,
// which the installer writes and a policy value overrides. Below every other layer: the shell reads a
// value and hands the answer to the layer that needs it.
#pragma once

#include <windows.h>

const char PolicyKey[] = "Software\\Policies\\Velmo\\VelmoMon";
const char PreferenceKey[] = "Software\\Zimvor\\VelmoMon";

struct PolicyValue {
    const char *name;   // the value's name under both keys
    DWORD type;         // REG_DWORD, the one type read so far
    DWORD minimum;      // a value outside minimum..maximum counts as not set
    DWORD maximum;
    DWORD fallback;     // where neither a policy nor a preference sets it
    bool hasPreference; // whether PreferenceKey may set it where no policy does
};

// One row a line: cmake/PolicyTemplates.cmake reads them from here to write
// the Group Policy templates.
const PolicyValue EventLogSetting = {"EventLog", REG_DWORD, 0, 1, 0, true};
const PolicyValue RefuseWritablePinToolSetting = {"RefuseWritablePinTool", REG_DWORD, 0, 1, 0, false};

const PolicyValue *const PolicyValues[] = {&EventLogSetting, &RefuseWritablePinToolSetting};

// Sets `value` from the policy value, else from the preference where the
// value has one, else to its fallback; answers whether the policy or the
// preference set it.
bool readPolicyDword(const PolicyValue &setting, DWORD &value);
