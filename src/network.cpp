// The network send: the payload as one raw TCP stream to the printer's port
// 9100, on the dialog's own thread, which keeps answering throughout.
#include "network.h"

#include <iphlpapi.h>
#include <stdlib.h>
#include <string.h>

#include "flash.h"
#include "messages.h"
#include "progressbar.h"
#include "resource.h"
#include "session.h"
#include "waits.h"

static const unsigned short PRINTER_PORT = 9100;
static const DWORD CONNECT_MS = 21000;     // how long Windows itself tries a printer that never answers
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
    while (!keepDialogAlive(WM_HOST_FOUND, &found) || (HANDLE)found.wParam != lookup)
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

// Why a connection broke: its own error where it has one, else the error of
// the call that failed.
static int connectionError(SOCKET connection)
{
    int callError = WSAGetLastError(), error = 0, size = sizeof error;
    if (getsockopt(connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size) == SOCKET_ERROR || error == 0)
        error = callError != 0 ? callError : WSAECONNRESET;
    return error;
}

// Leaves `error` as the last socket error, for the box; 0, the failure.
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
    failWith(connectionError(connection));
    return SOCKET_ERROR;
}

// Waits one slice on the connection, reading what the printer says while
// `printerSideOpen`, until it closes its side. BROKEN when the connection
// broke, the reason left as the last socket error; else what the connection
// became ready for.
static int waitAndListen(SOCKET connection, int wanted, int *printerSideOpen)
{
    int ready = waitOneSlice(connection, wanted | (*printerSideOpen ? READABLE : 0));
    if (ready & BROKEN) {
        failWith(connectionError(connection));
        return BROKEN;
    }
    if (ready & READABLE) {
        int heard = hearPrinter(connection);
        if (heard == SOCKET_ERROR)
            return BROKEN;
        *printerSideOpen = heard;
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
    int printerSideOpen = 1;
    while (handed < size) {
        int ready = waitAndListen(connection, WRITABLE, &printerSideOpen);
        if (ready & BROKEN)
            return 0;
        if (ready & WRITABLE) {
            DWORD left = size - handed;
            int piece = left > (DWORD)SEND_PIECE ? SEND_PIECE : (int)left;
            int sent = send(connection, (const char *)data + handed, piece, 0);
            if (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
                return failWith(connectionError(connection));
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

// Reads the connection's state from the system's TCP table into `state`:
// MIB_TCP_STATE_CLOSED when it has left the table (a reset connection does
// so at once). NO_ERROR, or the code of the call that failed, then named in
// `call`.
static DWORD readTcpState(SOCKET connection, const sockaddr_in *printer, DWORD *state, const char **call)
{
    sockaddr_in local;
    int length = sizeof local;
    if (getsockname(connection, (sockaddr *)&local, &length) == SOCKET_ERROR) {
        *call = "getsockname";
        return (DWORD)WSAGetLastError();
    }
    ULONG bytes = 0;
    MIB_TCPTABLE *table = NULL;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between asking for its size and reading it.
    for (int tries = 0; tries < 3 && result == ERROR_INSUFFICIENT_BUFFER; tries++) {
        free(table);
        table = bytes > 0 ? (MIB_TCPTABLE *)malloc(bytes) : NULL;
        if (bytes > 0 && table == NULL) {
            *call = "GetTcpTable";
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        result = GetTcpTable(table, &bytes, FALSE);
    }
    if (result != NO_ERROR)
        *call = "GetTcpTable";
    *state = MIB_TCP_STATE_CLOSED;
    for (DWORD i = 0; result == NO_ERROR && table != NULL && i < table->dwNumEntries; i++) {
        const MIB_TCPROW &row = table->table[i];
        if (row.dwLocalAddr == local.sin_addr.s_addr && (u_short)row.dwLocalPort == local.sin_port &&
            row.dwRemoteAddr == printer->sin_addr.s_addr && (u_short)row.dwRemotePort == printer->sin_port)
            *state = row.dwState;
    }
    free(table);
    return result;
}

// Tells the printer that the image is over: no more bytes will come.
static int endStream(SOCKET connection)
{
    if (shutdown(connection, 1 /* SD_SEND */) == SOCKET_ERROR)
        return failWith(connectionError(connection));
    return 1;
}

// Waits until the printer's system has acknowledged every byte and the end:
// the system's TCP table then shows the connection as FIN_WAIT2, or
// TIME_WAIT once the printer closed its side too. A send buffer says nothing
// about that, and a printer that vanished meanwhile would look like one that
// took everything. Whatever the printer says is read, and a reset is a
// failed send, up to LAST_WORD_MS after the acknowledgement. Without the
// table the program cannot know: that is a failed send at once, with the
// code of the call that failed, named in `call`.
static int waitForAcknowledgement(SOCKET connection, const sockaddr_in *printer, const char **call)
{
    DWORD endedAt = GetTickCount(), acknowledgedAt = 0;
    int printerSideOpen = 1;
    for (;;) {
        if (waitAndListen(connection, 0, &printerSideOpen) & BROKEN)
            return 0;
        DWORD state = 0, unreadable = readTcpState(connection, printer, &state, call), now = GetTickCount();
        if (unreadable != NO_ERROR)
            return failWith((int)unreadable);
        if (state == MIB_TCP_STATE_TIME_WAIT)
            return 1;
        if (state == MIB_TCP_STATE_CLOSED) {
            // Gone without TIME_WAIT: reset, or given up by the system; the
            // connection's own error says which.
            WSASetLastError(WSAECONNRESET);
            return failWith(connectionError(connection));
        }
        if (state == MIB_TCP_STATE_FIN_WAIT2 && acknowledgedAt == 0)
            acknowledgedAt = now;
        if (acknowledgedAt != 0 && now - acknowledgedAt >= LAST_WORD_MS)
            return 1;
        if (acknowledgedAt == 0 && now - endedAt >= STALL_MS)
            return failWith(WSAETIMEDOUT);
    }
}

// Once the printer's system has everything, the close must be an orderly
// one: a reset now could make the printer drop what it holds but has not
// read yet. Whatever the printer said last is read first, or the system
// would reset the connection for that.
static int readyOrderlyClose(SOCKET connection, const char **call)
{
    char discarded[512];
    while (recv(connection, discarded, sizeof discarded, 0) > 0) {
    }
    linger orderly = { 0, 0 };
    if (setsockopt(connection, SOL_SOCKET, SO_LINGER, (const char *)&orderly, sizeof orderly) == SOCKET_ERROR) {
        *call = "setsockopt";
        return 0;
    }
    return 1;
}

// A connection that does not block, with a send buffer sized for the link.
// Until the printer's system has everything, any close resets it, the
// system's own at the end of a killed process included: a printer that saw
// an orderly end after half an image might take it for a whole one.
static SOCKET openConnection(void)
{
    SOCKET connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection == INVALID_SOCKET) {
        displayWSAError("socket");
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    int buffer = SEND_BUFFER;
    linger reset = { 1, 0 };
    const char *failed = NULL;
    if (ioctlsocket(connection, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        failed = "ioctlsocket";
    else if (setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char *)&buffer, sizeof buffer) == SOCKET_ERROR ||
             setsockopt(connection, SOL_SOCKET, SO_LINGER, (const char *)&reset, sizeof reset) == SOCKET_ERROR)
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

// The connection a send is under way on, for the session's end to cut short.
static SOCKET sending = INVALID_SOCKET;

static void cutConnectionShort(void)
{
    closesocket(sending);   // a reset: see openConnection
}

static int sendOnConnection(const sockaddr_in *printer, const BYTE *data, DWORD size, CProgressBar *progress)
{
    SOCKET connection = openConnection();
    if (connection == INVALID_SOCKET)
        return 0;
    sending = connection;
    guardSend(cutConnectionShort);
    const char *failed = "send";   // the call a failure's box names
    int connected = connectWithin(connection, printer);
    int delivered = connected && handOver(connection, data, size, progress) && endStream(connection) &&
                    waitForAcknowledgement(connection, printer, &failed) && readyOrderlyClose(connection, &failed);
    if (sessionEnded())
        return 0;   // the connection is gone, and the program with it
    // The connection is closed before any box: an Exit pressed while the
    // box is open finds nothing left to close.
    int error = WSAGetLastError();
    closesocket(connection);
    sending = INVALID_SOCKET;
    releaseSend();
    WSASetLastError(error);
    if (!connected)
        displayMsg1("Unable to connect to port 9100 on device");
    else if (!delivered)
        displayWSAError(failed);
    else if (progress != NULL)
        progress->setPos(PROGRESS_STEPS);
    return delivered;
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
