// The spooler: the payload as one raw print job "Firmware Update" to a
// printer the spooler knows, and the list of those printers.
#ifndef FLASH_SPOOLER_H
#define FLASH_SPOOLER_H

#include <windows.h>

class CProgressBar;

// The spooler's level-1 records of its printers, as first asked for.
extern BYTE printers[16384];

// Sends to `printer` as one job that its queue holds until every byte is
// written: 1 when the whole job was released to the printer; 0 when not,
// the operator told why. Shows on `progress`, when given, what the spooler
// has taken.
int SendDataToSpooler(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress = NULL);

// Fills the drop-down list of `dialog` with the printers of this computer
// and its connections: 1; 0 when the spooler cannot list them (the operator
// has been told).
int EnumLocalPrinters(HWND dialog);

#endif
