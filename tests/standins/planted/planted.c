/* A library planted where the updater must never look for one. Loaded, it
 * leaves a marker beside itself, "<its file name>.loaded", and loads
 * (PLANTED_REFUSE=1 in the environment: it refuses to, as a damaged copy of
 * a Windows library would). It exports nothing: whoever looks a function up
 * in it finds none. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR marker[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcatW(marker, L".loaded");
        HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    char refuse[8];
    DWORD set = GetEnvironmentVariableA("PLANTED_REFUSE", refuse, sizeof refuse);
    return !(set == 1 && refuse[0] == '1');
}
