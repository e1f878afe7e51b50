// The program's message boxes, and the texts they are made of. Every box is
// owner-less and shown by the dialog's thread.
#ifndef FLASH_MESSAGES_H
#define FLASH_MESSAGES_H

#include <stdio.h>
#include <windows.h>

// Formats into a character array; cuts what does not fit, always terminates.
#define format_text(array, ...) snprintf((array), sizeof(array), __VA_ARGS__)

// What a box says where the system has no text for a code.
extern const char NO_SYSTEM_TEXT[];

void displayMsg1(const char *message);
void displayMsg2(const char *message, const char *name);
void displayWSAError(const char *call);
void displayLastError(void);

// The system's text for an error code in a LocalAlloc'ed block, or null.
char *systemTextFor(DWORD code);

// The text displayLastError shows for an error code and its system text
// (null when the system has none); cut to fit, always terminated.
void formatLastError(char *text, size_t size, DWORD code, const char *systemText);

#endif
