// The maker's PIN change and unblock tool, started from the menu once the
// file and its folder show who may have put it there or may change it.
#pragma once

#include <windows.h>

enum PinToolTrust {
    PinToolTrusted,        // owned and writable only by the trusted
    PinToolOthersMayWrite, // another principal may change the file or its folder, or nobody can tell
    PinToolPlanted,        // the file belongs to another principal
};

// Judges the tool by the owner and DACL of its file and of its folder.
// Trusted are Administrators, SYSTEM, TrustedInstaller and `user`. A null
// descriptor (it could not be read) or a null DACL leaves others free to
// write.
PinToolTrust judgePinTool(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder, PSID user);

// The platform calls that starting the tool makes; the tests answer them.
struct PinToolCalls {
    // The owner and DACL of a file or folder, in a descriptor freed with
    // LocalFree. Answers ERROR_SUCCESS or the error.
    DWORD (*readSecurity)(const char *path, PSECURITY_DESCRIPTOR *descriptor);
    // CreateProcessA of the tool: ERROR_SUCCESS or the error.
    DWORD (*startProcess)(const char *path);
    // The same through the shell, which asks for the user's consent to
    // elevate: ERROR_SUCCESS or the error (ERROR_CANCELLED when refused).
    DWORD (*startElevated)(const char *path);
    // A warning box under "Aviso Zimvor".
    void (*warn)(const char *text);
};
extern const PinToolCalls platformPinToolCalls;

// Starts the tool from the Windows drive, or tells the user why not;
// `refuseWritable` is the administrator's RefuseWritablePinTool policy.
void launchPinTool(const PinToolCalls &calls, bool refuseWritable);
