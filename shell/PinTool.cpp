// The PIN tool lives in a folder at the root of the Windows drive, which
// an installer may have left as the root's inheritance makes it: every
// authenticated user may add and change files there. On a machine that
// several people use, one of them could put a program there that then runs
// as whoever picks "Cambio y Desbloqueo de Pin". A tool another account
// owns is therefore refused; one that others may change is started unless
// the administrator's policy says otherwise, and never with elevation.
#include "PinTool.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <string.h>

#include "UserSid.h"

static const char PinToolPath[] = "c:\\Zimvor\\Ravendel.exe";
// ERROR_ELEVATION_REQUIRED: the tool's manifest asks for an administrator.
static const DWORD ElevationRequired = 740;
static const char WarningCaption[] = "Aviso Zimvor";

// Windows-1252 texts; "%s" is the tool's path.
static const char CannotStart[] = "No se pudo lanzar la aplicaci\xF3n Cambio de Pin";
static const char PlantedTool[] = "No se ha lanzado la aplicaci\xF3n Cambio de Pin: %s pertenece a otra cuenta de "
                                  "este equipo, que puede haberlo puesto ah\xED.";
static const char WritableRefused[] = "No se ha lanzado la aplicaci\xF3n Cambio de Pin: otras cuentas de este equipo "
                                      "pueden modificar %s o su carpeta, y la directiva del administrador no permite "
                                      "lanzarla as\xED.";
static const char WritableNotElevated[] = "No se ha lanzado la aplicaci\xF3n Cambio de Pin como administrador: otras "
                                          "cuentas de este equipo pueden modificar %s o su carpeta.";

// What lets another principal change what runs: the file written, deleted
// or replaced; in the folder a file or a DLL put beside it, the file
// deleted, or the folder itself renamed away. Rights over the descriptor
// grant all of them.
static const ACCESS_MASK FileWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
static const ACCESS_MASK FolderWrites =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

static const char *const TrustedSids[] = {
    "S-1-5-32-544", // Administrators
    "S-1-5-18",     // SYSTEM
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", // TrustedInstaller
};

static bool sidIs(PSID sid, const char *text)
{
    PSID known = NULL;
    if (!ConvertStringSidToSidA(text, &known))
        return false;
    const bool same = EqualSid(sid, known) != FALSE;
    LocalFree(known);
    return same;
}

static bool trusted(PSID sid, PSID user)
{
    if (!sid || !IsValidSid(sid))
        return false;
    if (user && EqualSid(sid, user))
        return true;
    for (const char *text : TrustedSids)
        if (sidIs(sid, text))
            return true;
    return false;
}

static PSID ownerOf(PSECURITY_DESCRIPTOR descriptor)
{
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ? owner : NULL;
}

// True when an allow entry in force (inherit-only ones only pass rights
// on) grants one of `writes` to a principal not trusted. Deny entries are
// not weighed: at worst a tool is taken for writable that is not.
static bool othersMayWrite(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK writes, PSID user)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return true; // no DACL: everyone may do anything
    ACL_SIZE_INFORMATION sizes;
    if (!GetAclInformation(dacl, &sizes, sizeof sizes, AclSizeInformation))
        return true;
    GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < sizes.AceCount; i++) {
        ACE_HEADER *header = NULL;
        if (!GetAce(dacl, i, (LPVOID *)&header))
            return true;
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            continue;
        ACCESS_ALLOWED_ACE *entry = (ACCESS_ALLOWED_ACE *)header;
        ACCESS_MASK granted = entry->Mask;
        MapGenericMask(&granted, &fileRights);
        if ((granted & writes) && !trusted(&entry->SidStart, user))
            return true;
    }
    return false;
}

PinToolTrust judgePinTool(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder, PSID user)
{
    if (!file || !folder)
        return PinToolOthersMayWrite;
    PSID fileOwner = ownerOf(file);
    if (fileOwner && !trusted(fileOwner, user))
        return PinToolPlanted;
    // An owner may always rewrite the DACL: another's folder is theirs to fill.
    PSID folderOwner = ownerOf(folder);
    if (!fileOwner || !trusted(folderOwner, user) || othersMayWrite(file, FileWrites, user) ||
        othersMayWrite(folder, FolderWrites, user))
        return PinToolOthersMayWrite;
    return PinToolTrusted;
}

// The template with the drive letter of the system's Windows directory,
// which is the same for every user of a terminal server; without it the
// template's own drive is kept. The folder is the path up to the tool's
// name.
static void formPinToolPath(char *path, char *folder)
{
    lstrcpynA(path, PinToolPath, sizeof PinToolPath);
    char windowsDirectory[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryA(windowsDirectory, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        path[0] = windowsDirectory[0];
    lstrcpynA(folder, path, sizeof PinToolPath);
    *strrchr(folder, '\\') = '\0';
}

static PSECURITY_DESCRIPTOR readDescriptor(const PinToolCalls &calls, const char *path, DWORD &result)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    result = calls.readSecurity(path, &descriptor);
    if (result == ERROR_SUCCESS)
        return descriptor;
    if (descriptor)
        LocalFree(descriptor);
    return NULL;
}

// Judges the tool as installed; false when there is no such file.
static bool judgeInstalledTool(const PinToolCalls &calls, const char *path, const char *folder, PinToolTrust &trust)
{
    DWORD result;
    PSECURITY_DESCRIPTOR file = readDescriptor(calls, path, result);
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND)
        return false;
    PSECURITY_DESCRIPTOR folderDescriptor = readDescriptor(calls, folder, result);
    PSID user = readUserSid();
    trust = judgePinTool(file, folderDescriptor, user);
    if (user)
        LocalFree(user);
    if (folderDescriptor)
        LocalFree(folderDescriptor);
    if (file)
        LocalFree(file);
    return true;
}

static void warnAbout(const PinToolCalls &calls, const char *format, const char *path)
{
    char text[1024];
    wsprintfA(text, format, path);
    calls.warn(text);
}

void launchPinTool(const PinToolCalls &calls, bool refuseWritable)
{
    char path[sizeof PinToolPath], folder[sizeof PinToolPath];
    formPinToolPath(path, folder);
    PinToolTrust trust;
    if (!judgeInstalledTool(calls, path, folder, trust)) {
        calls.warn(CannotStart);
        return;
    }
    if (trust == PinToolPlanted) {
        warnAbout(calls, PlantedTool, path);
        return;
    }
    const bool othersMayWrite = trust == PinToolOthersMayWrite;
    if (othersMayWrite && refuseWritable) {
        warnAbout(calls, WritableRefused, path);
        return;
    }
    DWORD started = calls.startProcess(path);
    if (started == ElevationRequired && othersMayWrite) {
        warnAbout(calls, WritableNotElevated, path);
        return;
    }
    if (started == ElevationRequired)
        started = calls.startElevated(path);
    if (started != ERROR_SUCCESS && started != ERROR_CANCELLED)
        calls.warn(CannotStart);
}

// A failed call that left no error code is still a failure.
static DWORD lastError()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

static DWORD readSecurity(const char *path, PSECURITY_DESCRIPTOR *descriptor)
{
    return GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, NULL,
                                 NULL, NULL, NULL, descriptor);
}

#ifndef _WIN64
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record is 68 bytes");
#endif

static DWORD startProcess(const char *path)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return lastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ERROR_SUCCESS;
}

// The tool's manifest asks for elevation: the shell shows the consent
// prompt. Its own error boxes stay off; the caller tells the user.
static DWORD startElevated(const char *path)
{
    SHELLEXECUTEINFOA execution;
    ZeroMemory(&execution, sizeof execution);
    execution.cbSize = sizeof execution;
    execution.fMask = SEE_MASK_FLAG_NO_UI;
    execution.lpFile = path;
    execution.nShow = SW_SHOWNORMAL;
    return ShellExecuteExA(&execution) ? ERROR_SUCCESS : lastError();
}

static void warn(const char *text)
{
    MessageBoxA(NULL, text, WarningCaption, MB_TASKMODAL);
}

const PinToolCalls platformPinToolCalls = {readSecurity, startProcess, startElevated, warn};
