// The SID of the process token's user: in the names of the objects that
// tell VelmoMon's copies apart, and among those trusted with the PIN tool.
#include "UserSid.h"

#include <sddl.h>

PSID readUserSid()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, NULL, 0, &size);
    TOKEN_USER *user = size ? (TOKEN_USER *)LocalAlloc(LMEM_FIXED, size) : NULL;
    PSID copy = NULL;
    if (user && GetTokenInformation(token, TokenUser, user, size, &size) && IsValidSid(user->User.Sid)) {
        const DWORD length = GetLengthSid(user->User.Sid);
        copy = LocalAlloc(LMEM_FIXED, length);
        if (copy && !CopySid(length, copy, user->User.Sid)) {
            LocalFree(copy);
            copy = NULL;
        }
    }
    if (user)
        LocalFree(user);
    CloseHandle(token);
    return copy;
}

bool readUserSidText(char *text, size_t size)
{
    PSID sid = readUserSid();
    char *converted = NULL;
    const bool done = sid && ConvertSidToStringSidA(sid, &converted) && (size_t)lstrlenA(converted) < size;
    if (done)
        lstrcpynA(text, converted, (int)size);
    if (converted)
        LocalFree(converted);
    if (sid)
        LocalFree(sid);
    return done;
}
