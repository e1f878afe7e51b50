// The spooler: the payload as one raw print job, and the list of printers
// the spooler knows.
//
// A queue may pass a job's bytes on to the printer while they are still
// being written (Windows' "Start printing immediately", its default), and a
// job deleted part-way then ends at the printer as any job ends: the printer
// could take part of an image for a whole one. So the job is paused as soon
// as it exists and released only once it is whole; until then anything that
// goes wrong, the process killed included, leaves at most a paused job that
// never reaches the printer. A queue that prints directly cannot hold a job,
// and gets nothing.
//
// The spooler's calls block for as long as a print server takes, minutes
// when it has stopped answering: they run on the delivery's thread
// (delivery.h). When the dialog stops waiting for them, that thread undoes
// what it started once its call returns; the dialog's thread never calls the
// spooler on the job's printer.
#include "spooler.h"

#include <stdlib.h>
#include <winspool.h>

#include "delivery.h"
#include "messages.h"
#include "resource.h"

BYTE printers[16384];

// The image goes to the spooler in pieces, and the bar moves as it takes
// each one: at once to a local queue, step by step across a slow link.
static const DWORD PIECE = 0x10000;

// How far a job has got, newest last.
enum JobStage {
    OPENING,
    PRINTER_OPEN,
    DOC_STARTED,   // held, and being written
    DOC_ENDED,     // whole, and still held
    RELEASING,     // the one call after which the job may print
    RELEASED
};

// The failing "calls" that are the program's own refusals.
static const char QUEUE_PRINTS_DIRECTLY[] = "a direct queue", PAUSE_REFUSED[] = "SetJobA pause";

struct SpoolerJob : Delivery {
    char printer[256];
    const BYTE *data;
    // The delivery's thread's own.
    HANDLE handle;          // the open printer
    DWORD id;               // the job
    DWORD attributes;       // the queue's
    BOOL paused;            // held by a pause, else by the queue until the document ends
    JobStage reached;       // what undo must undo
    const char *call;       // the call a failure's box names
};

// ---------------------------------------------------------------- the delivery's thread

// A call succeeded and the job got as far as `stage`: a sign of life. FALSE
// when the dialog no longer wants the job.
static BOOL reached(SpoolerJob *job, JobStage stage)
{
    job->reached = stage;
    noteSignOfLife(job);
    return reachStage(job, stage);
}

// The queue's attributes (level 5 holds them, and little else).
static BOOL readAttributes(SpoolerJob *job)
{
    DWORD needed = 0;
    GetPrinterA(job->handle, 5, NULL, 0, &needed);
    if (needed == 0)
        return FALSE;
    PRINTER_INFO_5A *info = (PRINTER_INFO_5A *)malloc(needed);
    if (info == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    BOOL read = GetPrinterA(job->handle, 5, (LPBYTE)info, needed, &needed);
    if (read)
        job->attributes = info->Attributes;
    free(info);
    return read;
}

// Opens the printer and starts a job that the queue holds until it is
// released: paused, or, where the pause is refused, by a queue that prints
// only once the last page is spooled.
static BOOL startHeldJob(SpoolerJob *job)
{
    job->call = "OpenPrinterA";
    if (!OpenPrinterA(job->printer, &job->handle, NULL) || !reached(job, PRINTER_OPEN))
        return FALSE;
    job->call = "GetPrinterA";
    if (!readAttributes(job) || !reached(job, PRINTER_OPEN))
        return FALSE;
    if (job->attributes & PRINTER_ATTRIBUTE_DIRECT) {
        job->call = QUEUE_PRINTS_DIRECTLY;
        return FALSE;
    }
    DOC_INFO_1A doc = { (LPSTR) "Firmware Update", NULL, (LPSTR) "RAW" };
    job->call = "StartDocPrinterA";
    job->id = StartDocPrinterA(job->handle, 1, (LPBYTE)&doc);
    if (job->id == 0 || !reached(job, DOC_STARTED))
        return FALSE;
    job->call = PAUSE_REFUSED;
    job->paused = SetJobA(job->handle, job->id, 0, NULL, JOB_CONTROL_PAUSE);
    if (!job->paused && !(job->attributes & PRINTER_ATTRIBUTE_QUEUED))
        return FALSE;
    return reached(job, DOC_STARTED);
}

// Hands every byte to the spooler, a piece at a time; a short count just
// means "write the rest".
static BOOL writeAll(SpoolerJob *job)
{
    job->call = "StartPagePrinter";
    if (!StartPagePrinter(job->handle) || !reached(job, DOC_STARTED))
        return FALSE;
    job->call = "WritePrinter";
    DWORD done = 0;
    while (done < job->size) {
        DWORD piece = job->size - done < PIECE ? job->size - done : PIECE, written = 0;
        if (!WritePrinter(job->handle, (LPVOID)(job->data + done), piece, &written))
            return FALSE;
        if (written == 0 || written > piece) {
            // A spooler that takes nothing would be asked for ever.
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        done += written;
        noteTaken(job, done);
        if (!reachStage(job, DOC_STARTED))
            return FALSE;
    }
    job->call = "EndPagePrinter";
    return EndPagePrinter(job->handle) && reached(job, DOC_STARTED);
}

// How many jobs the queue holds; 1 when it cannot say.
static DWORD jobsInQueue(SpoolerJob *job)
{
    DWORD needed = 0, count = 1;
    GetPrinterA(job->handle, 2, NULL, 0, &needed);
    PRINTER_INFO_2A *info = needed > 0 ? (PRINTER_INFO_2A *)malloc(needed) : NULL;
    if (info != NULL && GetPrinterA(job->handle, 2, (LPBYTE)info, needed, &needed))
        count = info->cJobs;
    free(info);
    return count;
}

// Whether the queue still holds the job, once its document has ended. One
// that passed the whole job on at the document's end no longer does: Wine's
// spooler does so with every job, and then lists no job and counts none. A
// queue that cannot be asked is taken to hold it still.
static BOOL stillQueued(SpoolerJob *job)
{
    DWORD needed = 0, count = 0;
    if (EnumJobsA(job->handle, 0, 0xFFFF, 1, NULL, 0, &needed, &count))
        return FALSE;   // it lists no job
    if (needed == 0)
        return jobsInQueue(job) > 0;   // it cannot list them
    JOB_INFO_1A *jobs = (JOB_INFO_1A *)malloc(needed);
    BOOL listed = jobs == NULL || !EnumJobsA(job->handle, 0, 0xFFFF, 1, (LPBYTE)jobs, needed, &needed, &count);
    for (DWORD i = 0; !listed && i < count; i++)
        listed = jobs[i].JobId == job->id;
    free(jobs);
    return listed;
}

// Ends the document and releases the whole job to the printer: TRUE once it
// is released, whatever the dialog wants by then.
static BOOL endAndRelease(SpoolerJob *job)
{
    job->call = "EndDocPrinter";
    if (job->paused) {
        if (!EndDocPrinter(job->handle) || !reached(job, DOC_ENDED))
            return FALSE;
        job->call = "SetJobA";
    }
    if (!reached(job, RELEASING))
        return FALSE;
    BOOL released = job->paused ? SetJobA(job->handle, job->id, 0, NULL, JOB_CONTROL_RESUME)
                                : EndDocPrinter(job->handle);
    if (!released && job->paused) {
        DWORD error = GetLastError();
        released = !stillQueued(job);
        SetLastError(error);
    }
    if (!released)
        return FALSE;
    reached(job, RELEASED);
    return TRUE;
}

// Undoes what the job started, newest first. A job that is not released is
// deleted: no part of an image, and no image the operator was told failed,
// ever reaches the printer.
static void undo(SpoolerJob *job)
{
    BOOL ended = job->reached == DOC_ENDED || (job->reached == RELEASING && job->paused);
    if (ended)
        SetJobA(job->handle, job->id, 0, NULL, JOB_CONTROL_DELETE);
    else if (job->reached >= DOC_STARTED && job->reached < RELEASED)
        AbortPrinter(job->handle);
    if (job->reached >= PRINTER_OPEN)
        ClosePrinter(job->handle);
}

static void spool(Delivery *delivery)
{
    SpoolerJob *job = static_cast<SpoolerJob *>(delivery);
    if (startHeldJob(job) && writeAll(job) && endAndRelease(job)) {
        decideDelivered(job);
        ClosePrinter(job->handle);
        return;
    }
    // The code of the call that failed, for the box, before the clean-up
    // calls leave codes of their own.
    DWORD error = GetLastError();
    undo(job);
    decideFailed(job, job->call, error);
}

static void freeJob(Delivery *delivery)
{
    free(static_cast<SpoolerJob *>(delivery));
}

// ---------------------------------------------------------------- the dialog's thread

static void showBox(const char *text)
{
    MessageBoxA(NULL, text, "Error", MB_OK);
}

static void tellPauseRefused(DWORD code)
{
    char *systemText = systemTextFor(code), reason[512], text[1024];
    formatLastError(reason, sizeof reason, code, systemText);
    format_text(text,
                "The print queue would not hold the job until the whole image was written, so nothing was "
                "sent. Send in network mode (Alt+N) instead, or ask for the right to manage this printer's "
                "documents.\n\n%s",
                reason);
    showBox(text);
    if (systemText != NULL)
        LocalFree(systemText);
}

// The operator's box for a job that was not released whole.
static void tellFailure(const Outcome &outcome)
{
    if (outcome.fate == DELIVERY_GIVEN_UP && outcome.stage == RELEASING) {
        showBox("The print service did not answer while the job was being released to the printer. "
                "The printer may still receive the whole image: look at the printer's queue before you "
                "send the firmware again.");
    } else if (outcome.call == QUEUE_PRINTS_DIRECTLY) {
        showBox("This printer's queue passes what the program writes on to the printer at once (it prints "
                "directly), so the program could not keep a part of the image from the printer. Nothing "
                "was sent. Send in network mode (Alt+N) instead, or set the queue to spool print "
                "documents and send again.");
    } else if (outcome.call == PAUSE_REFUSED) {
        tellPauseRefused(outcome.error);
    } else {
        SetLastError(outcome.fate == DELIVERY_GIVEN_UP  ? ERROR_TIMEOUT
                     : outcome.fate == DELIVERY_CUT_SHORT ? ERROR_CANCELLED
                                                        : outcome.error);
        displayLastError();
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
    SpoolerJob *job = (SpoolerJob *)calloc(1, sizeof *job);
    if (job != NULL) {
        format_text(job->printer, "%s", printer);
        job->data = data;
        job->size = size;
        job->reached = OPENING;
        job->run = spool;
        job->destroy = freeJob;
    }
    if (!startDelivery(job)) {
        displayLastError();
        return 0;
    }
    Outcome outcome = waitForDelivery(job, progress);
    // Given up once the job was released: it is with the printer.
    if (outcome.fate == DELIVERY_GIVEN_UP && outcome.stage == RELEASED)
        return 1;
    if (!outcome.delivered)
        tellFailure(outcome);
    return outcome.delivered;
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
