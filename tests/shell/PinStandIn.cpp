// Stands in for the PIN tool in the tests: records that it ran by writing
// a file beside itself (Ravendel.exe -> Ravendel.ran), then ends.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length < 4 || length >= MAX_PATH)
        return 1;
    lstrcpyA(path + length - 4, ".ran");
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written;
    WriteFile(file, "ran\n", 4, &written, NULL);
    CloseHandle(file);
    return 0;
}
