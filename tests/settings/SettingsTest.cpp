// The administrator's values: the policy over the preference, what counts as
// set, and the Group Policy templates written from the same table.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "settings/Settings.h"

namespace {

const DWORD Absent = 0xFFFFFFFF, Text = 0xFFFFFFFE;

void put(const char *keyName, REGSAM view, const char *name, DWORD data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &key, NULL), ERROR_SUCCESS);
    if (data == Absent)
        RegDeleteValueA(key, name);
    else if (data == Text)
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)"1", 2);
    else
        RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&data, sizeof data);
    RegCloseKey(key);
}

struct ReadCase {
    const char *name;
    DWORD policy, preference;
    const PolicyValue &setting;
    DWORD value;
    bool set;
};

TEST(Settings, PolicyFirstThenPreferenceThenFallback)
{
    const ReadCase cases[] = {
        {"a policy of 0 overrides a preference of 1", 0, 1, EventLogSetting, 0, true},
        {"a preference where no policy is set", Absent, 1, EventLogSetting, 1, true},
        {"a value out of range is as good as absent", 2, 1, EventLogSetting, 1, true},
        {"so is a value that is no DWORD", Text, Absent, EventLogSetting, 0, false},
        {"no preference for a value that has none", Absent, 1, RefuseWritablePinToolSetting, 0, false},
        {"a policy of 1", 1, 0, RefuseWritablePinToolSetting, 1, true},
    };
    for (const ReadCase &c : cases) {
        put(PolicyKey, KEY_WOW64_64KEY, c.setting.name, c.policy);
        put(PreferenceKey, 0, c.setting.name, c.preference);
        DWORD value = 7;
        EXPECT_EQ(readPolicyDword(c.setting, value), c.set) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        put(PolicyKey, KEY_WOW64_64KEY, c.setting.name, Absent);
        put(PreferenceKey, 0, c.setting.name, Absent);
    }
}

TEST(Settings, TemplatesNameEveryValueTheProgramReads)
{
    std::ifstream file(VELMO_POLICY_ADMX);
    std::stringstream admx;
    admx << file.rdbuf();
    const std::string text = admx.str();
    size_t policies = 0;
    for (size_t at = text.find("<policy "); at != std::string::npos; at = text.find("<policy ", at + 1))
        policies++;
    EXPECT_EQ(policies, sizeof PolicyValues / sizeof PolicyValues[0]);
    for (const PolicyValue *setting : PolicyValues)
        EXPECT_NE(text.find(std::string("key=\"") + PolicyKey + "\" valueName=\"" + setting->name + "\""), std::string::npos)
            << setting->name;
}

} // namespace
