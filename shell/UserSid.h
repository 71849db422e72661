// The user the program runs as, by SID.
#pragma once

#include <stddef.h>

#include <windows.h>

// A copy of the process token's user SID, freed with LocalFree; NULL when
// the token cannot be read.
PSID readUserSid();
// The same SID as text ("S-1-5-21-..."); false when it cannot be had.
bool readUserSidText(char *text, size_t size);
