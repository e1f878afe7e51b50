// The spooler: the payload as one raw print job, and the list of printers
// the spooler knows.
//
// The spooler's calls block for as long as a print server takes: seconds
// across a slow link, minutes when the server has stopped answering. So a
// job's calls run on a thread of their own, in the order a job needs, while
// the dialog's thread waits for them and keeps answering. Nothing else runs
// on that thread: it touches no window, and every box is the dialog's.
#include "spooler.h"

#include <stdlib.h>
#include <winspool.h>

#include "messages.h"
#include "progressbar.h"
#include "resource.h"
#include "session.h"
#include "waits.h"

BYTE printers[16384];

// The image goes to the spooler in pieces, and the bar moves as it takes
// each one: at once to a local queue, step by step across a slow link.
static const DWORD PIECE = 0x10000;
static const int PROGRESS_STEPS = 1000;

// How far a job has got: what its clean-up must undo.
enum JobStage { NOTHING_OPEN, PRINTER_OPEN, DOC_STARTED, WRITING, ENDED };
// What the dialog wants of it.
enum JobFate { WANTED, GIVEN_UP, CUT_SHORT };

// One job, shared by the dialog's thread and the job's own; whichever lets
// go of it last frees it.
struct Job {
    char printer[256];
    const BYTE *data;
    DWORD size;
    HANDLE handle;           // the open printer
    volatile LONG calls;     // the spooler's calls that have returned: signs of life
    volatile LONG written;   // bytes the spooler has taken
    int delivered;           // the job ended with every byte written
    DWORD error;             // else the code of the call that failed
    CRITICAL_SECTION lock;   // over stage, fate and aborted
    JobStage stage;
    JobFate fate;
    BOOL aborted;
    volatile LONG holders;
};

static void letGo(Job *job)
{
    if (InterlockedDecrement(&job->holders) == 0) {
        DeleteCriticalSection(&job->lock);
        free(job);
    }
}

// ---------------------------------------------------------------- the job's own thread

// Counts a call that returned, and notes how far the job got: TRUE when the
// call succeeded and the dialog still wants the job.
static BOOL went(Job *job, BOOL succeeded, JobStage reached)
{
    InterlockedIncrement(&job->calls);
    EnterCriticalSection(&job->lock);
    if (succeeded)
        job->stage = reached;
    BOOL wanted = job->fate == WANTED;
    LeaveCriticalSection(&job->lock);
    if (succeeded && !wanted)
        SetLastError(ERROR_CANCELLED);
    return succeeded && wanted;
}

// Undoes what the job has started, newest first, keeping the code of the
// call that failed for the dialog's box. Once bytes may be with the spooler,
// or the dialog has given the job up, ending the document would hand part of
// an image to the printer: the job is deleted instead. As the session ends,
// the job is deleted and nothing more is done: the process ends with it.
static int abandonJob(Job *job)
{
    job->error = GetLastError();
    EnterCriticalSection(&job->lock);
    JobStage started = job->stage;
    JobFate fate = job->fate;
    BOOL aborted = job->aborted;
    job->stage = NOTHING_OPEN;   // the dialog's thread leaves the handle alone now
    LeaveCriticalSection(&job->lock);
    if (started == NOTHING_OPEN)
        return 0;
    if (started >= WRITING || (fate != WANTED && started >= DOC_STARTED)) {
        if (!aborted)
            AbortPrinter(job->handle);
    } else if (started >= DOC_STARTED) {
        EndDocPrinter(job->handle);
    }
    if (fate != CUT_SHORT)
        ClosePrinter(job->handle);
    return 0;
}

// Hands every byte to the spooler, a piece at a time; a short count just
// means "write the rest".
static BOOL writeAll(Job *job)
{
    const BYTE *data = job->data;
    DWORD left = job->size;
    while (left > 0) {
        DWORD piece = left < PIECE ? left : PIECE, written = 0;
        BOOL wrote = WritePrinter(job->handle, (LPVOID)data, piece, &written);
        if (wrote && (written == 0 || written > piece)) {
            // A spooler that takes nothing would be asked for ever.
            SetLastError(ERROR_WRITE_FAULT);
            wrote = FALSE;
        }
        if (wrote) {
            data += written;
            left -= written;
            InterlockedExchangeAdd(&job->written, (LONG)written);
        }
        if (!went(job, wrote, WRITING))
            return FALSE;
    }
    return TRUE;
}

// The job's calls, in order: 1 when it ended with every byte written.
static int spool(Job *job)
{
    DOC_INFO_1A doc = { (LPSTR) "Firmware Update", NULL, (LPSTR) "RAW" };
    if (!went(job, OpenPrinterA(job->printer, &job->handle, NULL), PRINTER_OPEN) ||
        !went(job, StartDocPrinterA(job->handle, 1, (LPBYTE)&doc) != 0, DOC_STARTED) ||
        !went(job, StartPagePrinter(job->handle), WRITING) || !writeAll(job) ||
        !went(job, EndPagePrinter(job->handle), WRITING))
        return abandonJob(job);
    // Once the document has ended, the image is with the spooler, whatever
    // the dialog wants now: all that is left is to close the printer.
    if (!EndDocPrinter(job->handle)) {
        went(job, FALSE, ENDED);
        return abandonJob(job);
    }
    went(job, TRUE, ENDED);
    ClosePrinter(job->handle);
    return 1;
}

static DWORD WINAPI runJob(void *parameter)
{
    Job *job = (Job *)parameter;
    job->delivered = spool(job);
    letGo(job);
    return 0;
}

// ---------------------------------------------------------------- the dialog's thread

// The job a send is under way with, for the session's end to cut short.
static Job *current;

static void cutJobShort(void)
{
    EnterCriticalSection(&current->lock);
    current->fate = CUT_SHORT;
    if (current->stage >= DOC_STARTED && current->stage < ENDED) {
        AbortPrinter(current->handle);
        current->aborted = TRUE;
    }
    LeaveCriticalSection(&current->lock);
}

static void showWritten(const Job *job, CProgressBar *progress)
{
    if (progress != NULL && job->size > 0)
        progress->setPos((int)((unsigned long long)(DWORD)job->written * PROGRESS_STEPS / job->size));
}

// Waits for the job's thread, the dialog answering and the bar showing what
// the spooler has taken. FALSE when the session ended meanwhile, or when the
// spooler has answered no call for STALL_MS: a print server that stopped
// answering.
static BOOL waitForJob(Job *job, HANDLE thread, CProgressBar *progress)
{
    LONG calls = -1;
    DWORD signOfLife = GetTickCount();
    for (;;) {
        keepDialogAlive();
        if (sessionEnded())
            return FALSE;
        DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, SLICE_MS, QS_SENDMESSAGE | QS_PAINT);
        showWritten(job, progress);
        if (woke == WAIT_OBJECT_0)
            return TRUE;
        if (job->calls != calls) {
            calls = job->calls;
            signOfLife = GetTickCount();
        } else if (GetTickCount() - signOfLife >= STALL_MS) {
            return FALSE;
        }
    }
}

int SendDataToSpooler(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress)
{
    if (printer[0] == '\0') {
        // Some spoolers call an empty name "invalid parameter"; the operator
        // needs to hear that no printer is chosen.
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        displayLastError();
        return 0;
    }
    Job *job = (Job *)calloc(1, sizeof *job);
    if (job == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        displayLastError();
        return 0;
    }
    snprintf(job->printer, sizeof job->printer, "%s", printer);
    job->data = data;
    job->size = size;
    job->holders = 2;
    InitializeCriticalSection(&job->lock);
    HANDLE thread = CreateThread(NULL, 0, runJob, job, 0, NULL);
    if (thread == NULL) {
        DWORD code = GetLastError();
        DeleteCriticalSection(&job->lock);
        free(job);
        SetLastError(code);
        displayLastError();
        return 0;
    }

    current = job;
    guardSend(cutJobShort);
    if (progress != NULL)
        progress->setRange(0, PROGRESS_STEPS);
    BOOL finished = waitForJob(job, thread, progress);
    CloseHandle(thread);
    if (sessionEnded())
        return 0;   // the job is deleted, and the program ends with it
    releaseSend();
    current = NULL;
    if (!finished) {
        // Given up: the job's thread deletes the job once its call returns.
        EnterCriticalSection(&job->lock);
        job->fate = GIVEN_UP;
        LeaveCriticalSection(&job->lock);
    }
    int delivered = finished && job->delivered;
    DWORD code = finished ? job->error : ERROR_TIMEOUT;
    letGo(job);
    if (!delivered) {
        SetLastError(code);
        displayLastError();
    }
    return delivered;
}

// ---------------------------------------------------------------- the printer list

static void reportNoPrinters(DWORD code, DWORD needed, DWORD offered)
{
    char *systemText = systemTextFor(code);
    char text[1024];
    format_text(text,
                "Can't find any printers to update\n\n  EnumPrinters said: \n%s\n"
                "EnumPrinters needs %d bytes and we sent %d",
                systemText != NULL ? systemText : NO_SYSTEM_TEXT, (int)needed, (int)offered);
    MessageBoxA(NULL, text, "Failure!", MB_ICONINFORMATION);
    if (systemText != NULL)
        LocalFree(systemText);
}

int EnumLocalPrinters(HWND dialog)
{
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    BYTE *records = printers;
    DWORD offered = sizeof printers;
    DWORD needed = 0, count = 0;
    BOOL listed = EnumPrintersA(flags, NULL, 1, records, offered, &needed, &count);
    DWORD code = GetLastError();

    BYTE *larger = NULL;
    if (!listed && code == ERROR_INSUFFICIENT_BUFFER && needed > offered) {
        // More printers than the buffer holds: ask once more with the room
        // the spooler asked for, so that every printer is listed.
        larger = (BYTE *)malloc(needed);
        if (larger != NULL) {
            records = larger;
            offered = needed;
            listed = EnumPrintersA(flags, NULL, 1, records, offered, &needed, &count);
            code = GetLastError();
        }
    }

    if (listed) {
        const PRINTER_INFO_1A *info = (const PRINTER_INFO_1A *)records;
        for (DWORD i = 0; i < count; i++)
            SendDlgItemMessageA(dialog, IDC_PRINTER_COMBO, CB_ADDSTRING, 0, (LPARAM)info[i].pName);
    } else {
        reportNoPrinters(code, needed, offered);
    }
    free(larger);
    return listed ? 1 : 0;
}
