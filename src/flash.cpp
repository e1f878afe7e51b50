// Velmora firmware updater: one modal dialog that sends the firmware image
// built into this executable to one printer, through the print spooler or
// straight to the printer's TCP port 9100.
#include "flash.h"

#include <delayimp.h>
#include <iphlpapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winspool.h>

#include "progressbar.h"
#include "resource.h"

// Formats into a character array; cuts what does not fit, always terminates.
#define format_text(array, ...) snprintf((array), sizeof(array), __VA_ARGS__)

static const char NO_SYSTEM_TEXT[] = "(the system has no text for this code)";
static const unsigned short PRINTER_PORT = 9100;
static const DWORD SETTLE_SECONDS = 20;

HINSTANCE hMainInstance;
HWND hMainWnd;
CProgressBar *p_progressBar;
HBITMAP hFaceSmile;
HWND hExitButton, hSendButton, hConfigButton;
HWND hComboBox, hComboText, hHostBox, hHostText;
int directnet;
int sent_fw_update;

const BYTE *lpFirmwareFileData;
DWORD dwFirmwareFileSize;
// Makes the printer print its configuration page: 49 bytes, one bare LF.
const char *const configpage = "\x1b%-12345X@PJL DEFAULT TESTPAGE=SELFTEST\n\x1b%-12345X";
const char *const localtext = "Select Printer to Update:";
const char *const nettext = "Enter network printer name or IP address:";

BYTE printers[16384];

// ---------------------------------------------------------------- messages

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

// The system's text for an error code in a LocalAlloc'ed block, or null.
static char *systemTextFor(DWORD code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
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

// ---------------------------------------------------------------- Windows' own libraries

// comctl32.dll, winspool.drv and wsock32.dll are not among Windows' "known
// DLLs": Windows looks for those in the program's own folder first, and an
// updater is often started from a Downloads folder, as an administrator. So
// the program does not import them. They are delay-loaded, and the first call
// into each one comes here first: the library is loaded by its full path in
// the system folder, or the program stops.

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

// Takes the program's folder and the current folder out of the search for
// libraries, for whatever Windows' own libraries load in turn.
static void searchSystemFolderOnly(void)
{
    // Windows 7 without update KB2533623 lacks it; then the full paths above
    // and LOAD_WITH_ALTERED_SEARCH_PATH do the work alone.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    SetDefaultDllDirectoriesFunction setDefault = (SetDefaultDllDirectoriesFunction)(void *)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    searchRestricted = setDefault != NULL && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
}

// ---------------------------------------------------------------- payloads

int FindDownloadableFile(void)
{
    HRSRC found = FindResourceA(hMainInstance, MAKEINTRESOURCEA(IDR_FIRMWARE), "FILE");
    if (found == NULL)
        return 0;
    HGLOBAL loaded = LoadResource(hMainInstance, found);
    if (loaded == NULL)
        return 0;
    lpFirmwareFileData = (const BYTE *)LockResource(loaded);
    if (lpFirmwareFileData == NULL)
        return 0;
    dwFirmwareFileSize = SizeofResource(hMainInstance, found);
    return 1;
}

// ---------------------------------------------------------------- network

// A send runs on the dialog's own thread and never waits longer than
// SLICE_MS without letting the dialog answer and paint: Windows calls a
// window hung once it has not looked at its messages for 5 s, and offers the
// operator to close the program, in the middle of a firmware update.
static const DWORD SLICE_MS = 100;
static const DWORD CONNECT_MS = 21000;     // how long Windows itself tries a printer that never answers
static const DWORD STALL_MS = 60000;       // a printer that takes nothing this long is gone
// Once the printer's system has acknowledged every byte and the end, how
// long it may still reset the connection, which means it dropped the job.
static const DWORD LAST_WORD_MS = 700;
// What the system may hold for the printer, unsent or unacknowledged: enough
// to keep a 100 Mbit/s link with a 20 ms round trip busy, and no more, so
// that what the bar shows stays close to what the printer has taken.
static const int SEND_BUFFER = 256 * 1024;
static const int SEND_PIECE = 0x10000;
static const UINT WM_HOST_FOUND = WM_APP + 1;   // the answer to a name lookup
static const int PROGRESS_STEPS = 1000;

// Set while a network send lets the dialog answer: the dialog then takes
// no command, whoever sends it.
static int answeringDuringSend;

// Lets the dialog answer what other threads and programs send it, and
// repaint, the bar included. Keyboard and mouse input stays queued until the
// send is over: nothing the operator does can start a second send inside
// this one, or close the connection under it. With `lookupAnswer`, also
// takes the answer to a name lookup, if it has come (any look at the queue
// answers sent messages, so this one is made here too).
static BOOL keepDialogAlive(MSG *lookupAnswer = NULL)
{
    answeringDuringSend = 1;
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // Bounded: a window that never validates itself would keep us here.
    for (int paints = 0; paints < 64; paints++) {
        if (!PeekMessageA(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT))
            break;
        DispatchMessageA(&message);
    }
    BOOL answered = lookupAnswer != NULL &&
                    PeekMessageA(lookupAnswer, hMainWnd, WM_HOST_FOUND, WM_HOST_FOUND, PM_REMOVE);
    answeringDuringSend = 0;
    return answered;
}

// The first IPv4 address of `host`. A name is looked up in the background,
// which posts its answer to the dialog: a slow name server takes many
// seconds. An address needs no lookup.
static int lookUp(const char *host, in_addr *address)
{
    address->s_addr = inet_addr(host);
    if (address->s_addr != INADDR_NONE)
        return 1;
    char answer[MAXGETHOSTSTRUCT];
    HANDLE lookup = WSAAsyncGetHostByName(hMainWnd, WM_HOST_FOUND, host, answer, sizeof answer);
    if (lookup == NULL)
        return 0;
    MSG found;
    while (!keepDialogAlive(&found) || (HANDLE)found.wParam != lookup)
        MsgWaitForMultipleObjects(0, NULL, FALSE, SLICE_MS, QS_POSTMESSAGE | QS_SENDMESSAGE | QS_PAINT);
    const hostent *entry = (const hostent *)answer;
    if (WSAGETASYNCERROR(found.lParam) != 0 || entry->h_addr_list == NULL || entry->h_addr_list[0] == NULL)
        return 0;
    memcpy(address, entry->h_addr_list[0], sizeof *address);
    return 1;
}

enum { READABLE = 1, WRITABLE = 2, BROKEN = 4 };

// Waits at most one slice for the connection to become `wanted`, after
// letting the dialog catch up.
static int waitOneSlice(SOCKET connection, int wanted)
{
    keepDialogAlive();
    fd_set readable, writable, broken;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&broken);
    if (wanted & READABLE)
        FD_SET(connection, &readable);
    if (wanted & WRITABLE)
        FD_SET(connection, &writable);
    FD_SET(connection, &broken);
    timeval slice = { 0, (long)SLICE_MS * 1000 };
    if (select(0, &readable, &writable, &broken, &slice) == SOCKET_ERROR)
        return BROKEN;
    return (FD_ISSET(connection, &readable) ? READABLE : 0) | (FD_ISSET(connection, &writable) ? WRITABLE : 0) |
           (FD_ISSET(connection, &broken) ? BROKEN : 0);
}

// Leaves the reason a connection broke as the last socket error: the
// connection's own error where it has one, else the failing call's.
static int broke(SOCKET connection)
{
    int callError = WSAGetLastError(), error = 0, size = sizeof error;
    if (getsockopt(connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size) == SOCKET_ERROR || error == 0)
        error = callError != 0 ? callError : WSAECONNRESET;
    WSASetLastError(error);
    return 0;
}

static int failWith(int error)
{
    WSASetLastError(error);
    return 0;
}

// Connects without blocking, giving up after CONNECT_MS.
static int connectWithin(SOCKET connection, const sockaddr_in *printer)
{
    if (connect(connection, (const sockaddr *)printer, sizeof *printer) != SOCKET_ERROR)
        return 1;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < CONNECT_MS) {
        int ready = waitOneSlice(connection, WRITABLE);
        if (ready & BROKEN)
            return 0;
        if (ready & WRITABLE) {
            int error = 0, size = sizeof error;
            return getsockopt(connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size) != SOCKET_ERROR &&
                   error == 0;
        }
    }
    return 0;
}

// Reads and discards what the printer says. Printers often send a status
// line unasked; closing with it unread would make the system reset the
// connection and drop what is still queued. 1: read, or nothing there;
// 0: the printer closed its side in order; SOCKET_ERROR: the connection broke.
static int hearPrinter(SOCKET connection)
{
    char discarded[512];
    int got = recv(connection, discarded, sizeof discarded, 0);
    if (got > 0 || (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK))
        return 1;
    // Under Wine a reset that select has seen reads as an orderly close: the
    // connection's own error tells them apart.
    int error = 0, size = sizeof error;
    if (got == 0 && getsockopt(connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size) != SOCKET_ERROR &&
        error == 0)
        return 0;
    broke(connection);
    return SOCKET_ERROR;
}

// Waits one slice on the connection, reading what the printer says, until
// it closes its side. BROKEN when the connection broke, the reason left as
// the last socket error; else what the connection became ready for.
static int waitAndListen(SOCKET connection, int wanted, int *printerSpeaks)
{
    int ready = waitOneSlice(connection, wanted | (*printerSpeaks ? READABLE : 0));
    if (ready & BROKEN) {
        broke(connection);
        return BROKEN;
    }
    if (ready & READABLE) {
        int heard = hearPrinter(connection);
        if (heard == SOCKET_ERROR)
            return BROKEN;
        *printerSpeaks = heard;
    }
    return ready;
}

// What the printer's system has surely taken: what was handed over, less
// what the send buffer may still hold.
static void showTaken(CProgressBar *progress, DWORD handed, DWORD buffered, DWORD size)
{
    if (progress != NULL && size > 0) {
        DWORD taken = handed > buffered ? handed - buffered : 0;
        progress->setPos((int)((unsigned long long)taken * PROGRESS_STEPS / size));
    }
}

// Hands every byte to the connection as fast as the system takes them, one
// piece each time it has room, so that the bar moves in small steps. A
// printer that takes nothing for STALL_MS is gone.
static int handOver(SOCKET connection, const BYTE *data, DWORD size, CProgressBar *progress)
{
    int buffer = 0, length = sizeof buffer;
    if (getsockopt(connection, SOL_SOCKET, SO_SNDBUF, (char *)&buffer, &length) == SOCKET_ERROR ||
        buffer < SEND_BUFFER)
        buffer = SEND_BUFFER;
    // Linux, under Wine, keeps up to twice what was asked for; the bar must
    // never run ahead of the printer.
    DWORD buffered = 2 * (DWORD)buffer;
    DWORD handed = 0, lastTaken = GetTickCount();
    int printerSpeaks = 1;
    while (handed < size) {
        int ready = waitAndListen(connection, WRITABLE, &printerSpeaks);
        if (ready & BROKEN)
            return 0;
        if (ready & WRITABLE) {
            DWORD left = size - handed;
            int piece = left > (DWORD)SEND_PIECE ? SEND_PIECE : (int)left;
            int sent = send(connection, (const char *)data + handed, piece, 0);
            if (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
                return broke(connection);
            if (sent > 0) {
                handed += (DWORD)sent;
                lastTaken = GetTickCount();
                showTaken(progress, handed, buffered, size);
            }
        }
        if (GetTickCount() - lastTaken >= STALL_MS)
            return failWith(WSAETIMEDOUT);
    }
    return 1;
}

// The connection's state in the system's TCP table; MIB_TCP_STATE_CLOSED
// when it has left the table (a reset connection does so at once), 0 when
// the table cannot be read.
static DWORD tcpState(SOCKET connection, const sockaddr_in *printer)
{
    sockaddr_in local;
    int length = sizeof local;
    if (getsockname(connection, (sockaddr *)&local, &length) == SOCKET_ERROR)
        return 0;
    ULONG bytes = 0;
    MIB_TCPTABLE *table = NULL;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between asking for its size and reading it.
    for (int tries = 0; tries < 3 && result == ERROR_INSUFFICIENT_BUFFER; tries++) {
        free(table);
        table = bytes > 0 ? (MIB_TCPTABLE *)malloc(bytes) : NULL;
        if (bytes > 0 && table == NULL)
            return 0;
        result = GetTcpTable(table, &bytes, FALSE);
    }
    int listed = result == NO_ERROR && table != NULL;
    DWORD state = listed ? MIB_TCP_STATE_CLOSED : 0;
    for (DWORD i = 0; listed && i < table->dwNumEntries; i++) {
        const MIB_TCPROW &row = table->table[i];
        if (row.dwLocalAddr == local.sin_addr.s_addr && (u_short)row.dwLocalPort == local.sin_port &&
            row.dwRemoteAddr == printer->sin_addr.s_addr && (u_short)row.dwRemotePort == printer->sin_port)
            state = row.dwState;
    }
    free(table);
    return state;
}

// Says we are done and waits until the printer's system has acknowledged
// every byte and the end: the system's TCP table then shows the connection
// as FIN_WAIT2, or TIME_WAIT once the printer closed its side too. A send
// buffer says nothing about that, and a printer that vanished meanwhile would
// look like one that took everything. Whatever the printer says is read, and
// a reset is a failed send, up to LAST_WORD_MS after the acknowledgement.
static int printerAcknowledgedEverything(SOCKET connection, const sockaddr_in *printer)
{
    if (shutdown(connection, 1 /* SD_SEND */) == SOCKET_ERROR)
        return broke(connection);
    DWORD handedAt = GetTickCount(), acknowledgedAt = 0;
    int printerSpeaks = 1;
    for (;;) {
        if (waitAndListen(connection, 0, &printerSpeaks) & BROKEN)
            return 0;
        DWORD state = tcpState(connection, printer), now = GetTickCount();
        if (state == MIB_TCP_STATE_TIME_WAIT)
            return 1;
        if (state == MIB_TCP_STATE_CLOSED) {
            // Gone without TIME_WAIT: reset, or given up by the system; the
            // connection's own error says which.
            WSASetLastError(WSAECONNRESET);
            return broke(connection);
        }
        if (state == MIB_TCP_STATE_FIN_WAIT2 && acknowledgedAt == 0)
            acknowledgedAt = now;
        if (acknowledgedAt != 0 && now - acknowledgedAt >= LAST_WORD_MS)
            return 1;
        if (acknowledgedAt == 0 && now - handedAt >= STALL_MS)
            return failWith(WSAETIMEDOUT);
    }
}

// A connection that does not block, with a send buffer sized for the link.
static SOCKET openConnection(void)
{
    SOCKET connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection == INVALID_SOCKET) {
        displayWSAError("socket");
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    int buffer = SEND_BUFFER;
    const char *failed = NULL;
    if (ioctlsocket(connection, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        failed = "ioctlsocket";
    else if (setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char *)&buffer, sizeof buffer) == SOCKET_ERROR)
        failed = "setsockopt";
    if (failed != NULL) {
        int error = WSAGetLastError();
        closesocket(connection);
        WSASetLastError(error);
        displayWSAError(failed);
        return INVALID_SOCKET;
    }
    return connection;
}

int isSafeHostText(const char *host)
{
    unsigned long address = inet_addr(host);
    if (address == INADDR_NONE) {
        // A name, for the resolver; or the broadcast address, which is
        // INADDR_NONE too and no single printer.
        return strcmp(host, "255.255.255.255") != 0;
    }
    // The resolver reads an address the way inet_addr does: "127.1",
    // "010.0.0.1", "0x7f.1" and "127.0.0.1 x" reach devices nobody typed.
    in_addr read;
    read.s_addr = address;
    return strcmp(inet_ntoa(read), host) == 0;
}

static int sendOnConnection(const sockaddr_in *printer, const BYTE *data, DWORD size, CProgressBar *progress)
{
    SOCKET connection = openConnection();
    if (connection == INVALID_SOCKET)
        return 0;
    // The connection is closed before any box: an Exit pressed while the
    // box is open finds nothing left to close.
    if (!connectWithin(connection, printer)) {
        closesocket(connection);
        displayMsg1("Unable to connect to port 9100 on device");
        return 0;
    }
    if (!handOver(connection, data, size, progress) || !printerAcknowledgedEverything(connection, printer)) {
        int error = WSAGetLastError();
        closesocket(connection);
        WSASetLastError(error);
        displayWSAError("send");
        return 0;
    }
    // Whatever the printer said last is read before closing, or the close
    // would reset the connection.
    char discarded[512];
    while (recv(connection, discarded, sizeof discarded, 0) > 0) {
    }
    closesocket(connection);
    if (progress != NULL)
        progress->setPos(PROGRESS_STEPS);
    return 1;
}

int SendDataToNetHost(const BYTE *data, DWORD size, CProgressBar *progress)
{
    char host[256];
    if (SendDlgItemMessageA(hMainWnd, IDC_HOST_EDIT, WM_GETTEXT, 255, (LPARAM)host) == 0) {
        displayMsg1("Please Enter Host Name");
        return 0;
    }
    sockaddr_in printer;
    memset(&printer, 0, sizeof printer);
    printer.sin_family = AF_INET;
    printer.sin_port = htons(PRINTER_PORT);
    if (progress != NULL)
        progress->setRange(0, PROGRESS_STEPS);

    if (!isSafeHostText(host) || !lookUp(host, &printer.sin_addr)) {
        displayMsg2("Couldn't find printer: ", host);
        return 0;
    }
    return sendOnConnection(&printer, data, size, progress);
}

// ---------------------------------------------------------------- spooler

enum JobStage { PRINTER_OPEN, DOC_STARTED, PAGE_STARTED, BYTES_WRITTEN };

// Undoes what the job has started, newest first, then tells the operator why
// it failed: the code of the call that failed, not one a clean-up call left.
// Once bytes may be with the spooler, ending the page or the document would
// hand part of an image to the printer: the job is deleted instead.
static int abandonJob(HANDLE printer, JobStage started)
{
    DWORD code = GetLastError();
    if (started >= BYTES_WRITTEN) {
        AbortPrinter(printer);
    } else {
        if (started >= PAGE_STARTED)
            EndPagePrinter(printer);
        if (started >= DOC_STARTED)
            EndDocPrinter(printer);
    }
    ClosePrinter(printer);
    SetLastError(code);
    displayLastError();
    return 0;
}

// Hands every byte to the spooler; a short count just means "write the rest".
static BOOL writeAll(HANDLE printer, const BYTE *data, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WritePrinter(printer, (LPVOID)data, size, &written))
            return FALSE;
        if (written == 0 || written > size) {
            // A spooler that takes nothing would be asked for ever.
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        data += written;
        size -= written;
    }
    return TRUE;
}

int SendDataToSpooler(const char *printer, const BYTE *data, DWORD size)
{
    if (printer[0] == '\0') {
        // Some spoolers call an empty name "invalid parameter"; the operator
        // needs to hear that no printer is chosen.
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        displayLastError();
        return 0;
    }

    HANDLE handle;
    if (!OpenPrinterA((LPSTR)printer, &handle, NULL)) {
        displayLastError();
        return 0;
    }
    DOC_INFO_1A job = { (LPSTR) "Firmware Update", NULL, (LPSTR) "RAW" };
    if (!StartDocPrinterA(handle, 1, (LPBYTE)&job))
        return abandonJob(handle, PRINTER_OPEN);
    if (!StartPagePrinter(handle))
        return abandonJob(handle, DOC_STARTED);
    if (!writeAll(handle, data, size) || !EndPagePrinter(handle) || !EndDocPrinter(handle))
        return abandonJob(handle, BYTES_WRITTEN);
    ClosePrinter(handle);
    return 1;
}

int SendDataTo(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress)
{
    if (directnet)
        return SendDataToNetHost(data, size, progress);
    return SendDataToSpooler(printer, data, size);
}

// ---------------------------------------------------------------- printer list

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

// ---------------------------------------------------------------- settle wait

void ScrollbarWait(DWORD seconds)
{
    DWORD ticks = seconds * 10;
    p_progressBar->setRange(0, (int)ticks);
    p_progressBar->setStep(1);
    p_progressBar->setPos(0);
    for (DWORD i = 0; i < ticks; i++) {
        Sleep(100);
        // Keep the dialog painted. A close request is handled too; the
        // dialog then ends once the wait is over.
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        p_progressBar->step();
    }
}

// ---------------------------------------------------------------- main dialog

static void initDialog(HWND dialog)
{
    hMainWnd = dialog;

    WSADATA sockets;
    int started = WSAStartup(0x0001, &sockets);
    if (started != 0) {
        char text[256];
        format_text(text, "WSAError: %s: %d", "WSAStartup", started);
        MessageBoxA(NULL, text, "Error", MB_OK);
        exit(1);
    }

    p_progressBar = new CProgressBar(dialog, hMainInstance, 55, 102, 350, 20);
    p_progressBar->setBarColor(0, 0, 136);

    // Trim the window menu; each position counts on the menu as the
    // deletion before it left it.
    HMENU windowMenu = GetSystemMenu(dialog, FALSE);
    DeleteMenu(windowMenu, 0, MF_BYPOSITION);
    DeleteMenu(windowMenu, 1, MF_BYPOSITION);
    DeleteMenu(windowMenu, 2, MF_BYPOSITION);

    SetClassLongPtrA(dialog, GCLP_HICON, (LONG_PTR)LoadIconA(NULL, (LPCSTR)IDI_EXCLAMATION));
    hFaceSmile = LoadBitmapA(hMainInstance, MAKEINTRESOURCEA(IDB_FACE_SMILE));

    hExitButton = GetDlgItem(dialog, IDC_EXIT);
    hSendButton = GetDlgItem(dialog, IDC_SEND_FIRMWARE);
    hConfigButton = GetDlgItem(dialog, IDC_PRINT_CONFIG);
    EnableWindow(hConfigButton, FALSE);
    ShowWindow(hConfigButton, SW_HIDE);

    hComboBox = GetDlgItem(dialog, IDC_PRINTER_COMBO);
    hComboText = GetDlgItem(dialog, IDC_PRINTER_LABEL);
    hHostBox = GetDlgItem(dialog, IDC_HOST_EDIT);
    hHostText = GetDlgItem(dialog, IDC_HOST_LABEL);
    SendDlgItemMessageA(dialog, IDC_PRINTER_LABEL, WM_SETTEXT, 0, (LPARAM)localtext);
    SendDlgItemMessageA(dialog, IDC_HOST_LABEL, WM_SETTEXT, 0, (LPARAM)nettext);
    ShowWindow(hHostBox, SW_HIDE);
    ShowWindow(hHostText, SW_HIDE);

    if (!FindDownloadableFile())
        displayLastError();
    EnumLocalPrinters(dialog);
}

static void readChosenPrinter(HWND dialog, char (&name)[256])
{
    name[0] = '\0';
    SendDlgItemMessageA(dialog, IDC_PRINTER_COMBO, WM_GETTEXT, sizeof name, (LPARAM)name);
}

static void onExit(HWND dialog)
{
    WSACleanup();
    DestroyWindow(dialog);
}

static void onSendFirmware(HWND dialog)
{
    if (lpFirmwareFileData == NULL || dwFirmwareFileSize == 0) {
        // Sending nothing and then smiling would tell the operator the
        // printer was updated when it was not.
        MessageBoxA(NULL, "No firmware image in this program: nothing was sent", "Error", MB_OK);
        return;
    }
    char printer[256];
    readChosenPrinter(dialog, printer);
    if (!SendDataTo(printer, lpFirmwareFileData, dwFirmwareFileSize, p_progressBar))
        return;

    EnableWindow(hSendButton, FALSE);
    EnableWindow(hConfigButton, FALSE);
    EnableWindow(hExitButton, FALSE);
    ScrollbarWait(SETTLE_SECONDS);
    SendDlgItemMessageA(dialog, IDC_FACE, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)hFaceSmile);
    sent_fw_update = 1;
    EnableWindow(hExitButton, TRUE);
    EnableWindow(hConfigButton, TRUE);
}

static void onPrintConfig(HWND dialog)
{
    char printer[256];
    readChosenPrinter(dialog, printer);
    EnableWindow(hSendButton, FALSE);
    EnableWindow(hConfigButton, FALSE);
    EnableWindow(hExitButton, FALSE);
    if (SendDataTo(printer, (const BYTE *)configpage, (DWORD)strlen(configpage)))
        displayMsg1("Sent Configuration Page");
    if (!sent_fw_update)
        EnableWindow(hSendButton, TRUE);
    EnableWindow(hConfigButton, TRUE);
    EnableWindow(hExitButton, TRUE);
}

static void onNet(void)
{
    if (directnet == 0) {
        ShowWindow(hComboBox, SW_HIDE);
        ShowWindow(hComboText, SW_HIDE);
        ShowWindow(hHostBox, SW_SHOW);
        ShowWindow(hHostText, SW_SHOW);
        directnet = 1;
    } else {
        ShowWindow(hHostBox, SW_HIDE);
        ShowWindow(hHostText, SW_HIDE);
        ShowWindow(hComboBox, SW_SHOW);
        ShowWindow(hComboText, SW_SHOW);
        directnet = 0;
    }
}

INT_PTR CALLBACK DialogFunc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        initDialog(dialog);
        return 1;
    case WM_COMMAND:
        if (answeringDuringSend)
            return 0;
        switch (LOWORD(wParam)) {
        case IDC_EXIT:          onExit(dialog); break;
        case IDC_SEND_FIRMWARE: onSendFirmware(dialog); break;
        case IDC_PRINT_CONFIG:  onPrintConfig(dialog); break;
        case IDC_NET:           onNet(); break;
        }
        return 0;
    case WM_CLOSE:
    case WM_DESTROY:
        EndDialog(dialog, 0);
        return 1;
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;
    searchSystemFolderOnly();
    hMainInstance = instance;
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, DialogFunc, 0) == -1) {
        // No dialog (a missing or damaged template): without this box the
        // program would end having shown nothing at all.
        displayLastError();
        return 1;
    }
    return 0;
}
