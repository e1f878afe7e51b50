// The spooler floor: the least the platform needs to put the image at a
// printer as one raw job. The updater's own sequence of calls, with nothing
// around it:
//
//   floor_spooler QUEUE
//
// Prints the wall-clock time before each call and after the last
// (open_at ... end_at), or fails with the call and its error code.
#include "bench.h"

#include <winspool.h>

// Closing the printer also ends and drops a job left open.
static int failed(HANDLE printer, const char *call)
{
    fprintf(stderr, "%s failed: error %lu\n", call, GetLastError());
    if (printer != NULL)
        ClosePrinter(printer);
    return 1;
}

int main(int argc, char **argv)
{
    const BYTE *image;
    DWORD size;
    if (!startFloor(argc, "floor_spooler QUEUE", &image, &size))
        return 1;

    settleAfterStart();
    Stamps stamps;
    HANDLE printer = NULL;
    DOC_INFO_1A job = { (LPSTR) "Firmware Update", NULL, (LPSTR) "RAW" };
    DWORD written = 0;
    stamps.mark("open");
    if (!OpenPrinterA(argv[1], &printer, NULL))
        return failed(NULL, "OpenPrinterA");
    stamps.mark("doc");
    if (!StartDocPrinterA(printer, 1, (LPBYTE)&job))
        return failed(printer, "StartDocPrinterA");
    stamps.mark("page");
    if (!StartPagePrinter(printer))
        return failed(printer, "StartPagePrinter");
    stamps.mark("write");
    if (!WritePrinter(printer, (LPVOID)image, size, &written) || written != size)
        return failed(printer, "WritePrinter");
    stamps.mark("endpage");
    if (!EndPagePrinter(printer))
        return failed(printer, "EndPagePrinter");
    stamps.mark("enddoc");
    if (!EndDocPrinter(printer))
        return failed(printer, "EndDocPrinter");
    stamps.mark("close");
    if (!ClosePrinter(printer))
        return failed(NULL, "ClosePrinter");
    stamps.mark("end");
    stamps.print();
    return 0;
}
