// comctl32.dll, iphlpapi.dll, winspool.drv and wsock32.dll are not among
// Windows' "known DLLs": Windows looks for those in the program's own folder
// first, and an updater is often started from a Downloads folder, as an
// administrator. So the program does not import them. They are delay-loaded,
// and the first call into each one comes here first: the library is loaded
// by its full path in the system folder, or the program stops.
#include "libraries.h"

#include <windows.h>

#include <delayimp.h>
#include <stdlib.h>

#include "messages.h"

static BOOL searchRestricted;   // SetDefaultDllDirectories is in force

// Without Windows' own library or function the program cannot run: says so,
// with the system's reason, and ends the program.
static void cannotRunWithout(const char *what, DWORD code)
{
    char *systemText = systemTextFor(code);
    char reason[512];
    formatLastError(reason, sizeof reason, code, systemText);
    char text[1024];
    format_text(text, "%s: %s", what, reason);
    MessageBoxA(NULL, text, "Error", MB_OK);
    if (systemText != NULL)
        LocalFree(systemText);
    exit(1);
}

// The delay-load helper asks here before it loads a library by its bare name.
static FARPROC WINAPI loadFromSystemFolder(unsigned note, PDelayLoadInfo info)
{
    if (note != dliNotePreLoadLibrary)
        return NULL;
    char path[MAX_PATH], what[MAX_PATH + 32];
    UINT folder = GetSystemDirectoryA(path, sizeof path);
    int length = folder > 0 && folder < sizeof path
                     ? snprintf(path + folder, sizeof path - folder, "\\%s", info->szDll) : -1;
    if (length < 0 || (size_t)length >= sizeof path - folder) {
        format_text(what, "Cannot load %s", info->szDll);
        cannotRunWithout(what, ERROR_FILENAME_EXCED_RANGE);
    }
    // Without SetDefaultDllDirectories, what this library loads in turn is
    // looked for beside it, in the system folder, not beside the program.
    HMODULE library = LoadLibraryExA(path, NULL, searchRestricted ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
    if (library == NULL) {
        DWORD code = GetLastError();
        format_text(what, "Cannot load %s", path);
        cannotRunWithout(what, code);
    }
    return (FARPROC)library;
}

// And here when it could not find a function: a damaged Windows.
static FARPROC WINAPI cannotBind(unsigned note, PDelayLoadInfo info)
{
    char library[MAX_PATH], what[2 * MAX_PATH];
    if (info->hmodCur == NULL || GetModuleFileNameA(info->hmodCur, library, sizeof library) == 0)
        format_text(library, "%s", info->szDll);
    if (note != dliFailGetProc)
        format_text(what, "Cannot load %s", library);
    else if (info->dlp.fImportByName)
        format_text(what, "Cannot find %s in %s", info->dlp.szProcName, library);
    else
        format_text(what, "Cannot find function %lu in %s", (unsigned long)info->dlp.dwOrdinal, library);
    cannotRunWithout(what, info->dwLastError);
    return NULL;
}

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = loadFromSystemFolder;
PfnDliHook __pfnDliFailureHook2 = cannotBind;
}

void searchSystemFolderOnly(void)
{
    // Windows 7 without update KB2533623 lacks it; then the full paths above
    // and LOAD_WITH_ALTERED_SEARCH_PATH do the work alone.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    SetDefaultDllDirectoriesFunction setDefault = (SetDefaultDllDirectoriesFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    searchRestricted = setDefault != NULL && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
}
