#include "messages.h"

#include <winsock.h>

const char NO_SYSTEM_TEXT[] = "(the system has no text for this code)";

void displayMsg1(const char *message)
{
    char text[256];
    format_text(text, "%s", message);
    MessageBoxA(NULL, text, "Info", MB_OK);
}

void displayMsg2(const char *message, const char *name)
{
    // Room for the longest host name (254) after the longest message.
    char text[512];
    format_text(text, "%s %s", message, name);
    MessageBoxA(NULL, text, "Info", MB_OK);
}

void displayWSAError(const char *call)
{
    int code = WSAGetLastError();
    char text[256];
    format_text(text, "WSAError: %s: %d", call, code);
    MessageBoxA(NULL, text, "Error", MB_OK);
}

char *systemTextFor(DWORD code)
{
    char *text = NULL;
    // Some texts have inserts ("%1 is not a valid Win32 application."): with
    // no arguments to give, they are taken as they stand.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, code, 0x0400, (LPSTR)&text, 0, NULL);
    if (length == 0) {
        // Without a text nothing was allocated, whatever the pointer holds.
        return NULL;
    }
    return text;
}

void formatLastError(char *text, size_t size, DWORD code, const char *systemText)
{
    if (code == ERROR_INVALID_PRINTER_NAME) {
        // The spooler's word for "no printer chosen in the drop-down list".
        snprintf(text, size, "%s", "Please select printer in drop-down box");
        return;
    }
    snprintf(text, size, "failure with error %d: %s", (int)code,
             systemText != NULL ? systemText : NO_SYSTEM_TEXT);
}

void displayLastError(void)
{
    DWORD code = GetLastError();
    char *systemText = systemTextFor(code);
    char text[1024];
    formatLastError(text, sizeof text, code, systemText);
    MessageBoxA(NULL, text, "Error", MB_OK);
    if (systemText != NULL)
        LocalFree(systemText);
}
