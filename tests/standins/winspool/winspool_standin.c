/* A winspool.drv for tests: fakes every spooler call the updater makes,
 * records each call, and fails the one it is told to. It lies in the system
 * folder of the stand-in prefix, and Wine loads it instead of its own with
 * WINEDLLOVERRIDES=winspool.drv=n,b (callers check that they got it: with
 * "b" a missing stand-in goes unnoticed).
 *
 * Control: the Standin* exports below, found with GetProcAddress by the test
 * program that carries the updater's code.
 */
#include <windows.h>
#include <winspool.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_PRINTERS "velmora-main,velmora-annex,velmora-basement"
#define DEFAULT_ERROR ERROR_GEN_FAILURE
/* A call that succeeds may leave any code behind, as a real spooler's may:
 * this one, which no failure is given, so that a box showing it shows that
 * the product read its code after a clean-up call. */
#define SUCCESS_LEAVES ERROR_ALREADY_EXISTS

static char calls[65536];
static char printerNames[32768];
static char failCall[64];
static int failOccurrence;   /* 0: every call of failCall */
static int failSeen;
static DWORD failError;
static DWORD shortBy;   /* the next WritePrinter takes this many bytes fewer */

/* The one printer handle there is; the product opens one printer at a time. */
static int printerToken;
static BOOL printerOpen;

static const char *orNull(const char *text)
{
    return text != NULL ? text : "(null)";
}

/* Records a call. Keeps the last error as it was: the product reads it after
 * the failing call, and a logger's own error would hide the real one. */
static void note(const char *format, ...)
{
    DWORD saved = GetLastError();
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    size_t used = strlen(calls);
    snprintf(calls + used, sizeof calls - used, "%s\n", line);
    SetLastError(saved);
}

/* True when this call is the one to fail; its error is then set. */
static BOOL failsNow(const char *call)
{
    if (strcmp(call, failCall) != 0)
        return FALSE;
    failSeen++;
    if (failOccurrence != 0 && failSeen != failOccurrence)
        return FALSE;
    SetLastError(failError);
    return TRUE;
}

static BOOL isOpen(HANDLE printer)
{
    return printer == (HANDLE)&printerToken && printerOpen;
}

/* Said after a call that is not given the open printer's handle. */
static const char *handleRemark(HANDLE printer)
{
    return isOpen(printer) ? "" : " (not an open printer)";
}

/* False, with the error set, when the call must fail. */
static BOOL succeeds(const char *call, HANDLE printer)
{
    if (!isOpen(printer)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (failsNow(call))
        return FALSE;
    SetLastError(SUCCESS_LEAVES);
    return TRUE;
}

/* A call that only takes the printer's handle. */
static BOOL proceed(const char *call, HANDLE printer)
{
    note("%s%s", call, handleRemark(printer));
    return succeeds(call, printer);
}

static void configure(void)
{
    calls[0] = '\0';
    failCall[0] = '\0';
    failOccurrence = failSeen = 0;
    failError = DEFAULT_ERROR;
    shortBy = 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        snprintf(printerNames, sizeof printerNames, "%s", DEFAULT_PRINTERS);
        configure();
    }
    return TRUE;
}

/* ---------------------------------------------------------------- control */

/* Forgets the calls, the failure and the short count. */
void StandinReset(void)
{
    configure();
}

/* The occurrence-th call of `call` (0: every call) fails with `error`. */
void StandinFailAt(const char *call, int occurrence, DWORD error)
{
    snprintf(failCall, sizeof failCall, "%s", call);
    failOccurrence = occurrence;
    failSeen = 0;
    failError = error;
}

/* The next WritePrinter succeeds but takes `missing` bytes fewer than it is
 * given (all of them: it takes none); the ones after it take everything. */
void StandinShortWrite(DWORD missing)
{
    shortBy = missing;
}

/* The printers EnumPrintersA lists, comma-separated; null for the default. */
void StandinSetPrinters(const char *names)
{
    snprintf(printerNames, sizeof printerNames, "%s", names != NULL ? names : DEFAULT_PRINTERS);
}

/* The calls so far, one a line. */
const char *StandinCalls(void)
{
    return calls;
}

/* Puts a line of the caller's among the calls, to show what happened between them. */
void StandinNote(const char *text)
{
    note("%s", text);
}

/* ---------------------------------------------------------------- spooler */

BOOL WINAPI OpenPrinterA(LPSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSA defaults)
{
    note("OpenPrinterA %s%s", orNull(name), defaults != NULL ? " with defaults" : "");
    if (failsNow("OpenPrinterA"))
        return FALSE;
    *printer = (HANDLE)&printerToken;
    printerOpen = TRUE;
    return TRUE;
}

DWORD WINAPI StartDocPrinterA(HANDLE printer, DWORD level, LPBYTE info)
{
    const DOC_INFO_1A *doc = (const DOC_INFO_1A *)info;
    if (level == 1 && doc != NULL)
        note("StartDocPrinterA 1 %s|%s|%s%s", orNull(doc->pDocName), orNull(doc->pOutputFile),
             orNull(doc->pDatatype), handleRemark(printer));
    else
        note("StartDocPrinterA %lu%s", (unsigned long)level, handleRemark(printer));
    if (!succeeds("StartDocPrinterA", printer))
        return 0;
    return 1;
}

BOOL WINAPI StartPagePrinter(HANDLE printer)
{
    return proceed("StartPagePrinter", printer);
}

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written)
{
    (void)data;
    note("WritePrinter %lu%s", (unsigned long)size, handleRemark(printer));
    *written = 0;
    if (!succeeds("WritePrinter", printer))
        return FALSE;
    *written = size - (shortBy < size ? shortBy : size);
    shortBy = 0;
    return TRUE;
}

BOOL WINAPI EndPagePrinter(HANDLE printer)
{
    return proceed("EndPagePrinter", printer);
}

BOOL WINAPI EndDocPrinter(HANDLE printer)
{
    return proceed("EndDocPrinter", printer);
}

BOOL WINAPI AbortPrinter(HANDLE printer)
{
    return proceed("AbortPrinter", printer);
}

BOOL WINAPI ClosePrinter(HANDLE printer)
{
    if (!proceed("ClosePrinter", printer))
        return FALSE;
    printerOpen = FALSE;
    return TRUE;
}

/* Level 1 only: records first, their texts packed from the end, as Windows does. */
BOOL WINAPI EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD size,
                          LPDWORD needed, LPDWORD returned)
{
    note("EnumPrintersA %lu %s %lu %lu", (unsigned long)flags, orNull(name), (unsigned long)level,
         (unsigned long)size);
    *needed = 0;
    *returned = 0;
    if (level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }

    /* Each printer: its record, its name twice (name, description), an empty comment. */
    DWORD count = 0, need = 0;
    const char *start = printerNames;
    while (*start != '\0') {
        size_t length = strcspn(start, ",");
        need += (DWORD)(sizeof(PRINTER_INFO_1A) + 2 * (length + 1) + 1);
        count++;
        start += length + (start[length] == ',');
    }
    *needed = need;
    if (failsNow("EnumPrintersA"))
        return FALSE;
    if (size < need || buffer == NULL) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    PRINTER_INFO_1A *records = (PRINTER_INFO_1A *)buffer;
    char *texts = (char *)buffer + need;
    start = printerNames;
    for (DWORD i = 0; i < count; i++) {
        size_t length = strcspn(start, ",");
        texts -= 1;
        texts[0] = '\0';
        records[i].pComment = texts;
        texts -= length + 1;
        memcpy(texts, start, length);
        texts[length] = '\0';
        records[i].pDescription = texts;
        texts -= length + 1;
        memcpy(texts, start, length);
        texts[length] = '\0';
        records[i].pName = texts;
        records[i].Flags = PRINTER_ENUM_ICON8;
        start += length + (start[length] == ',');
    }
    *returned = count;
    return TRUE;
}
