/* A winspool.drv for tests: fakes every spooler call the updater makes,
 * records each call, and fails the one it is told to, or keeps it from
 * returning until told to go on (a print server that answers nothing). It
 * lies in the system folder of the stand-in prefix, and Wine loads it
 * instead of its own with WINEDLLOVERRIDES=winspool.drv=n,b (callers check
 * that they got it: with "b" a missing stand-in goes unnoticed).
 *
 * It is a model of Windows' spooler, where Wine's differs: a queue that
 * starts printing at once passes each written piece on to its port, the
 * printer simulator on 127.0.0.1:9100, unless the job is paused; a paused
 * job's bytes go once it is resumed; a queue that prints only once the last
 * page is spooled (PRINTER_ATTRIBUTE_QUEUED) waits for the document's end;
 * one that prints directly passes everything at once, paused or not.
 * Deleting a job part-way ends the port's connection in order, as a port
 * ends any job. Wine instead spools a job to a file until its document
 * ends, and its SetJobA and AbortPrinter do nothing.
 *
 * Control: the Standin* exports below, found with GetProcAddress by the test
 * program that carries the updater's code.
 */
#include <winsock2.h>
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

static CRITICAL_SECTION lock;   /* over the record of calls: the job's thread and the test's both write */
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

/* The queue, and its one job. */
static DWORD attributes;
static BOOL refusePause;
static const DWORD JOB_ID = 7;
static BOOL jobExists, paused, documentEnded;
static char *spooled;          /* what the job holds */
static DWORD spooledSize, spooledRoom, passedOn;
static SOCKET port = INVALID_SOCKET;   /* the printer's connection while a job prints */

/* A call kept from returning until StandinLetGo. */
static char holdCall[64];
static int holdOccurrence, holdSeen;
static volatile LONG holding;
static HANDLE goOn;

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
    EnterCriticalSection(&lock);
    size_t used = strlen(calls);
    snprintf(calls + used, sizeof calls - used, "%s\n", line);
    LeaveCriticalSection(&lock);
    SetLastError(saved);
}

/* A print server that answers nothing: the call waits until the test lets
 * it go on. */
static void holdIfTold(const char *call)
{
    if (strcmp(call, holdCall) != 0 || ++holdSeen != holdOccurrence)
        return;
    note("(%s answers nothing)", call);
    InterlockedExchange(&holding, 1);
    WaitForSingleObject(goOn, INFINITE);
    InterlockedExchange(&holding, 0);
}

/* ---------------------------------------------------------------- the port */

/* The printer's connection ends in order, as a port ends any job. */
static void closePort(void)
{
    if (port == INVALID_SOCKET)
        return;
    shutdown(port, SD_SEND);
    closesocket(port);
    port = INVALID_SOCKET;
    note("port: closed in order after %lu bytes", (unsigned long)passedOn);
}

/* Passes on what the queue may print now: everything spooled, once the job
 * is neither paused nor waiting for its document's end (a direct queue
 * waits for nothing); at the document's end, the connection closes. */
static void passOn(void)
{
    DWORD saved = GetLastError();
    BOOL direct = (attributes & PRINTER_ATTRIBUTE_DIRECT) != 0;
    BOOL mayPrint = jobExists && (direct || (!paused && (documentEnded || !(attributes & PRINTER_ATTRIBUTE_QUEUED))));
    if (mayPrint && passedOn < spooledSize && port == INVALID_SOCKET) {
        WSADATA sockets;
        struct sockaddr_in printer;
        memset(&printer, 0, sizeof printer);
        printer.sin_family = AF_INET;
        printer.sin_port = htons(9100);
        printer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        WSAStartup(MAKEWORD(2, 2), &sockets);
        port = socket(AF_INET, SOCK_STREAM, 0);
        if (port != INVALID_SOCKET && connect(port, (struct sockaddr *)&printer, sizeof printer) != 0) {
            closesocket(port);
            port = INVALID_SOCKET;
        }
        note(port != INVALID_SOCKET ? "port: connected" : "port: no printer");
    }
    while (mayPrint && port != INVALID_SOCKET && passedOn < spooledSize) {
        int sent = send(port, spooled + passedOn, (int)(spooledSize - passedOn), 0);
        if (sent <= 0)
            break;
        passedOn += (DWORD)sent;
    }
    if (mayPrint && documentEnded && passedOn == spooledSize) {
        closePort();
        jobExists = FALSE;
    }
    SetLastError(saved);
}

static void deleteJob(void)
{
    closePort();
    jobExists = FALSE;
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
    attributes = 0;
    refusePause = FALSE;
    holdCall[0] = '\0';
    holdOccurrence = holdSeen = 0;
    closePort();
    jobExists = paused = documentEnded = FALSE;
    spooledSize = passedOn = 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&lock);
        goOn = CreateEventA(NULL, FALSE, FALSE, NULL);
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

/* The queue's attributes (PRINTER_ATTRIBUTE_*), and whether it refuses to
 * pause a job, as a print server does whose rights forbid it. */
void StandinQueue(DWORD queueAttributes, BOOL refusesPause)
{
    attributes = queueAttributes;
    refusePause = refusesPause;
}

/* The occurrence-th call of `call` answers nothing until StandinLetGo. */
void StandinHold(const char *call, int occurrence)
{
    snprintf(holdCall, sizeof holdCall, "%s", call);
    holdOccurrence = occurrence;
    holdSeen = 0;
}

/* Whether a held call is waiting now. */
BOOL StandinHolding(void)
{
    return holding != 0;
}

/* The held call goes on. */
void StandinLetGo(void)
{
    SetEvent(goOn);
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

BOOL WINAPI GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    note("GetPrinterA %lu%s%s", (unsigned long)level, buffer == NULL ? " asking the size" : "", handleRemark(printer));
    *needed = sizeof(PRINTER_INFO_5A);
    if (!succeeds("GetPrinterA", printer))
        return FALSE;
    if (level != 5) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (buffer == NULL || size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PRINTER_INFO_5A *info = (PRINTER_INFO_5A *)buffer;
    memset(info, 0, sizeof *info);
    info->Attributes = attributes;
    return TRUE;
}

BOOL WINAPI SetJobA(HANDLE printer, DWORD id, DWORD level, LPBYTE info, DWORD command)
{
    const char *what = command == JOB_CONTROL_PAUSE    ? "pause"
                       : command == JOB_CONTROL_RESUME ? "resume"
                       : command == JOB_CONTROL_DELETE ? "delete"
                                                        : "other";
    note("SetJobA %lu %s%s%s", (unsigned long)id, what, level != 0 || info != NULL ? " with job info" : "",
         handleRemark(printer));
    holdIfTold("SetJobA");
    if (!succeeds("SetJobA", printer))
        return FALSE;
    if (id != JOB_ID || !jobExists) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (command == JOB_CONTROL_PAUSE && refusePause) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (command == JOB_CONTROL_PAUSE)
        paused = TRUE;
    else if (command == JOB_CONTROL_RESUME)
        paused = FALSE;
    else if (command == JOB_CONTROL_DELETE)
        deleteJob();
    passOn();
    return TRUE;
}

/* Level 1: the one job, while the queue holds it. */
BOOL WINAPI EnumJobsA(HANDLE printer, DWORD first, DWORD count, DWORD level, LPBYTE buffer, DWORD size,
                      LPDWORD needed, LPDWORD returned)
{
    note("EnumJobsA %lu%s%s", (unsigned long)level, buffer == NULL ? " asking the size" : "", handleRemark(printer));
    *needed = *returned = 0;
    if (!succeeds("EnumJobsA", printer))
        return FALSE;
    if (level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!jobExists || first > 0 || count == 0)
        return TRUE;
    *needed = sizeof(JOB_INFO_1A);
    if (buffer == NULL || size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    JOB_INFO_1A *job = (JOB_INFO_1A *)buffer;
    memset(job, 0, sizeof *job);
    job->JobId = JOB_ID;
    job->Status = paused ? JOB_STATUS_PAUSED : 0;
    *returned = 1;
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
    closePort();
    jobExists = TRUE;
    paused = documentEnded = FALSE;
    spooledSize = passedOn = 0;
    return JOB_ID;
}

BOOL WINAPI StartPagePrinter(HANDLE printer)
{
    return proceed("StartPagePrinter", printer);
}

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID data, DWORD size, LPDWORD written)
{
    note("WritePrinter %lu%s", (unsigned long)size, handleRemark(printer));
    holdIfTold("WritePrinter");
    *written = 0;
    if (!succeeds("WritePrinter", printer))
        return FALSE;
    *written = size - (shortBy < size ? shortBy : size);
    shortBy = 0;
    if (spooledSize + *written > spooledRoom) {
        spooledRoom = 2 * (spooledSize + *written);
        spooled = realloc(spooled, spooledRoom);
    }
    memcpy(spooled + spooledSize, data, *written);
    spooledSize += *written;
    passOn();
    return TRUE;
}

BOOL WINAPI EndPagePrinter(HANDLE printer)
{
    return proceed("EndPagePrinter", printer);
}

BOOL WINAPI EndDocPrinter(HANDLE printer)
{
    note("EndDocPrinter%s", handleRemark(printer));
    holdIfTold("EndDocPrinter");
    if (!succeeds("EndDocPrinter", printer))
        return FALSE;
    documentEnded = TRUE;
    passOn();
    return TRUE;
}

BOOL WINAPI AbortPrinter(HANDLE printer)
{
    if (!proceed("AbortPrinter", printer))
        return FALSE;
    deleteJob();
    return TRUE;
}

/* A document never ended is not a job the port prints. */
BOOL WINAPI ClosePrinter(HANDLE printer)
{
    if (!proceed("ClosePrinter", printer))
        return FALSE;
    if (jobExists && !documentEnded)
        deleteJob();
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
