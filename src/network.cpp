// The network send: the payload as one raw TCP stream to the printer's port
// 9100. Its calls run in their order on the delivery's thread: look the
// printer up, connect, hand every byte over, end the stream, wait until the
// printer's system has acknowledged everything, and close in order once the
// printer has had its say. The dialog's thread tells the operator how it went.
#include "network.h"

#include <iphlpapi.h>
#include <stdlib.h>
#include <string.h>

#include "delivery.h"
#include "messages.h"

static const unsigned short PRINTER_PORT = 9100;
static const DWORD CONNECT_MS = 21000;     // how long Windows itself tries a printer that never answers
// Once the printer's system has acknowledged every byte and the end, how
// long it may still reset the connection, which means it dropped the job.
static const DWORD LAST_WORD_MS = 700;
// After that the printer may go on talking (status lines, as many send while
// they work); the program reads it, for as long as the printer settles, and
// closes only once the printer has closed its side or that time is over.
static const DWORD LISTEN_AFTER_MS = 20000;
// How often the acknowledgement is looked for in the system's TCP table.
static const DWORD LOOK_MS = 100;
// What the system may hold for the printer, unsent or unacknowledged: enough
// to keep a 100 Mbit/s link with a 20 ms round trip busy, and no more, so
// that what the bar shows stays close to what the printer has taken.
static const int SEND_BUFFER = 256 * 1024;
static const int SEND_PIECE = 0x10000;
// Once every byte is handed over, the send buffer is lowered in steps of
// this much: each step is passed once the printer has taken about as much.
static const int TAIL_STEP = 16 * 1024;
// Tries at reading the system's TCP table, which may grow between asking its
// size and reading it.
static const int TABLE_TRIES = 10;

enum NetStage { LOOKING_UP, CONNECTING, SENDING };

struct NetSend : Delivery {
    char host[256];
    const BYTE *data;
    SOCKET connection;        // under the lock: whoever takes it out closes it
    sockaddr_in printer;
    sockaddr_in local;        // the connection's own end, for the TCP table
    BOOL printerSideOpen;     // the printer has not ended its side of the stream
};

enum { READABLE = 1, WRITABLE = 2, BROKEN = 4 };

// ---------------------------------------------------------------- the delivery's thread

// Leaves `error` as the last socket error; 0, the failure.
static int failWith(int error)
{
    WSASetLastError(error);
    return 0;
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

// The connection's own error, 0 if none.
static int pendingError(SOCKET connection)
{
    int error = 0, size = sizeof error;
    if (getsockopt(connection, SOL_SOCKET, SO_ERROR, (char *)&error, &size) == SOCKET_ERROR)
        return WSAGetLastError();
    return error;
}

// The first IPv4 address of `host`. An address needs no lookup.
static int lookUp(const char *host, in_addr *address)
{
    address->s_addr = inet_addr(host);
    if (address->s_addr != INADDR_NONE)
        return 1;
    const hostent *entry = gethostbyname(host);
    if (entry == NULL || entry->h_addr_list == NULL || entry->h_addr_list[0] == NULL)
        return 0;
    memcpy(address, entry->h_addr_list[0], sizeof *address);
    return 1;
}

// Takes the connection out of the record, to close it: the dialog's thread
// may have taken it already.
static SOCKET takeConnection(NetSend *net)
{
    EnterCriticalSection(&net->lock);
    SOCKET connection = net->connection;
    net->connection = INVALID_SOCKET;
    LeaveCriticalSection(&net->lock);
    return connection;
}

static void closeConnection(NetSend *net)
{
    SOCKET connection = takeConnection(net);
    if (connection != INVALID_SOCKET)
        closesocket(connection);
}

// A connection that does not block, with a send buffer sized for the link.
// Until the printer's system has everything, any close resets it, the
// system's own at the end of a killed process included: a printer that saw
// an orderly end after half an image might take it for a whole one. NULL, or
// the call that failed.
static const char *openConnection(NetSend *net, SOCKET *made)
{
    SOCKET connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection == INVALID_SOCKET)
        return "socket";
    // Into the record at once, where the dialog's thread can close it.
    EnterCriticalSection(&net->lock);
    BOOL wanted = net->fate == DELIVERY_WANTED;
    if (wanted)
        net->connection = connection;
    LeaveCriticalSection(&net->lock);
    if (!wanted) {
        closesocket(connection);
        failWith(WSAECANCELLED);
        return "socket";
    }
    *made = connection;
    u_long nonBlocking = 1;
    int buffer = SEND_BUFFER;
    linger reset = { 1, 0 };
    if (ioctlsocket(connection, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return "ioctlsocket";
    if (setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char *)&buffer, sizeof buffer) == SOCKET_ERROR ||
        setsockopt(connection, SOL_SOCKET, SO_LINGER, (const char *)&reset, sizeof reset) == SOCKET_ERROR)
        return "setsockopt";
    return NULL;
}

// Connects, giving up after CONNECT_MS. The only wait that watches for a
// broken connection in select's exception set: once connected, that set
// would also report urgent data from the printer.
static int connectWithin(SOCKET connection, const sockaddr_in *printer)
{
    if (connect(connection, (const sockaddr *)printer, sizeof *printer) != SOCKET_ERROR)
        return 1;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return 0;
    fd_set writable, broken;
    FD_ZERO(&writable);
    FD_ZERO(&broken);
    FD_SET(connection, &writable);
    FD_SET(connection, &broken);
    timeval bound = { (long)(CONNECT_MS / 1000), 0 };
    int ready = select(0, NULL, &writable, &broken, &bound);
    if (ready == 0)
        return failWith(WSAETIMEDOUT);
    if (ready == SOCKET_ERROR || FD_ISSET(connection, &broken))
        return failWith(connectionError(connection));
    return pendingError(connection) == 0;
}

// Reads and discards what the printer says. Printers often send a status
// line unasked; closing with it unread would make the system reset the
// connection and drop what is still queued. 1: read, or nothing there;
// 0: the printer ended its side in order; SOCKET_ERROR: the connection
// broke, its reason the last socket error.
static int hearPrinter(SOCKET connection)
{
    char discarded[512];
    int got = recv(connection, discarded, sizeof discarded, 0);
    if (got > 0 || (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK))
        return 1;
    // Under Wine a reset that select has seen reads as an orderly end: the
    // connection's own error tells them apart.
    if (got == 0 && pendingError(connection) == 0)
        return 0;
    failWith(connectionError(connection));
    return SOCKET_ERROR;
}

// Waits up to `ms` for the connection to become `wanted` (WRITABLE or
// nothing), reading what the printer says meanwhile, until it ends its side.
// What the connection became ready for; 0 when the time is over; BROKEN when
// it broke, its reason left as the last socket error.
static int waitOn(NetSend *net, SOCKET connection, int wanted, DWORD ms)
{
    if (!net->printerSideOpen && wanted == 0) {
        // Nothing to watch: select refuses empty sets.
        Sleep(ms);
        return 0;
    }
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    if (net->printerSideOpen)
        FD_SET(connection, &readable);
    if (wanted & WRITABLE)
        FD_SET(connection, &writable);
    timeval bound = { (long)(ms / 1000), (long)(ms % 1000) * 1000 };
    int ready = select(0, &readable, &writable, NULL, &bound);
    if (ready == SOCKET_ERROR) {
        failWith(connectionError(connection));
        return BROKEN;
    }
    if (FD_ISSET(connection, &readable)) {
        int heard = hearPrinter(connection);
        if (heard == SOCKET_ERROR)
            return BROKEN;
        net->printerSideOpen = heard;
    }
    return FD_ISSET(connection, &writable) ? WRITABLE : 0;
}

// Waits until the connection is writable, the printer taking nothing for
// STALL_MS at most. 1, or 0 with the reason as the last socket error.
static int waitUntilWritable(NetSend *net, SOCKET connection)
{
    DWORD since = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - since;
        if (waited >= STALL_MS)
            return failWith(WSAETIMEDOUT);
        int ready = waitOn(net, connection, WRITABLE, STALL_MS - waited);
        if (ready == BROKEN)
            return 0;
        if (ready == WRITABLE)
            return 1;
        if (deliveryFate(net) != DELIVERY_WANTED)
            return failWith(WSAECANCELLED);
    }
}

// Hands every byte to the connection as fast as the system takes them, one
// piece each time it has room, so that the bar moves in small steps. What
// the printer's system has surely taken is what was handed over less what
// the send buffer may still hold.
static int handOver(NetSend *net, SOCKET connection)
{
    // Linux, under Wine, keeps up to twice what was asked for; the bar must
    // never run ahead of the printer.
    const DWORD buffered = 2 * (DWORD)SEND_BUFFER;
    DWORD handed = 0;
    while (handed < net->size) {
        if (!waitUntilWritable(net, connection))
            return 0;
        DWORD left = net->size - handed;
        int piece = left > (DWORD)SEND_PIECE ? SEND_PIECE : (int)left;
        int sent = send(connection, (const char *)net->data + handed, piece, 0);
        if (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
            return failWith(connectionError(connection));
        if (sent > 0) {
            handed += (DWORD)sent;
            noteTaken(net, handed > buffered ? handed - buffered : 0);
        }
    }
    return 1;
}

// Every byte is with the system; what it still holds drains as the printer
// takes it. A send buffer set smaller than what is held turns writable only
// once the printer has taken enough, so lowering it step by step shows the
// printer's progress: a printer that takes its last bytes slowly is not
// taken for one that stopped. The stream's end goes out once the buffer is
// at its least.
static int waitForTail(NetSend *net, SOCKET connection)
{
    for (int limit = SEND_BUFFER - TAIL_STEP; limit >= 0; limit -= TAIL_STEP) {
        if (setsockopt(connection, SOL_SOCKET, SO_SNDBUF, (const char *)&limit, sizeof limit) == SOCKET_ERROR)
            return failWith(connectionError(connection));
        if (!waitUntilWritable(net, connection))
            return 0;
        DWORD held = 2 * (DWORD)limit;
        noteTaken(net, net->size > held ? net->size - held : 0);
    }
    return 1;
}

// Reads the connection's state from the system's TCP table into `state`:
// MIB_TCP_STATE_CLOSED once it has left the table. NO_ERROR, or the code of
// GetTcpTable.
static DWORD readTcpState(const NetSend *net, DWORD *state)
{
    *state = MIB_TCP_STATE_CLOSED;
    MIB_TCPTABLE *table = NULL;
    ULONG room = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int tries = 0; tries < TABLE_TRIES && result == ERROR_INSUFFICIENT_BUFFER; tries++) {
        free(table);
        // Room for the connections other programs make meanwhile.
        room += room / 2 + 64 * sizeof(MIB_TCPROW);
        table = (MIB_TCPTABLE *)malloc(room);
        if (table == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
        ULONG asked = room;
        result = GetTcpTable(table, &asked, FALSE);
        if (result == ERROR_INSUFFICIENT_BUFFER && asked > room)
            room = asked;
    }
    for (DWORD i = 0; result == NO_ERROR && i < table->dwNumEntries; i++) {
        const MIB_TCPROW &row = table->table[i];
        if (row.dwLocalAddr == net->local.sin_addr.s_addr && (u_short)row.dwLocalPort == net->local.sin_port &&
            row.dwRemoteAddr == net->printer.sin_addr.s_addr && (u_short)row.dwRemotePort == net->printer.sin_port)
            *state = row.dwState;
    }
    free(table);
    return result;
}

// Ends the stream and waits until the printer's system has acknowledged
// every byte and the end, then listens LAST_WORD_MS more for a reset. A send
// buffer says nothing of this, and a printer that vanished meanwhile would
// look like one that took everything: the system's TCP table tells.
//   FIN_WAIT2   the end is acknowledged, the printer's side still open;
//   TIME_WAIT   both ends are over, in order: done;
//   gone        a reset, or the system gave up; or, where the printer ended
//               its side first (LAST_ACK), the acknowledgement of the end.
// Windows' recv tells a reset from an orderly end; under Wine both read as
// an orderly end, so the table decides where it can: a connection that
// leaves it from FIN_WAIT2, or before the end was sent, was reset.
// `call` names the call a failure's box names.
static int waitForAcknowledgement(NetSend *net, SOCKET connection, const char **call)
{
    DWORD state = 0, unreadable = readTcpState(net, &state);
    if (unreadable == NO_ERROR && state == MIB_TCP_STATE_CLOSED)
        return failWith(WSAECONNRESET);
    if (unreadable == NO_ERROR && shutdown(connection, 1 /* SD_SEND */) == SOCKET_ERROR)
        return failWith(connectionError(connection));
    DWORD endedAt = GetTickCount(), acknowledgedAt = 0;
    while (unreadable == NO_ERROR) {
        if (state == MIB_TCP_STATE_TIME_WAIT)
            return 1;
        if (state == MIB_TCP_STATE_FIN_WAIT2 && acknowledgedAt == 0)
            acknowledgedAt = GetTickCount();
        if (state == MIB_TCP_STATE_CLOSED) {
            if (acknowledgedAt == 0 && net->printerSideOpen && hearPrinter(connection) == SOCKET_ERROR)
                return 0;
            int error = pendingError(connection);
            if (acknowledgedAt == 0 && !net->printerSideOpen && error == 0)
                return 1;
            return failWith(error != 0 ? error : WSAECONNRESET);
        }
        if (acknowledgedAt != 0 && GetTickCount() - acknowledgedAt >= LAST_WORD_MS)
            return 1;
        if (acknowledgedAt == 0 && GetTickCount() - endedAt >= STALL_MS)
            return failWith(WSAETIMEDOUT);
        if (deliveryFate(net) != DELIVERY_WANTED)
            return failWith(WSAECANCELLED);
        if (waitOn(net, connection, 0, LOOK_MS) == BROKEN)
            return 0;
        unreadable = readTcpState(net, &state);
    }
    // Without the table the program cannot know: a failed send at once, not
    // a minute's wait as for a slow printer.
    *call = "GetTcpTable";
    return failWith((int)unreadable);
}

// Listens for `ms`, or until the printer ends its side: 1, or 0 when the
// connection broke meanwhile, its reason the last socket error.
static int listenToPrinter(NetSend *net, SOCKET connection, DWORD ms)
{
    DWORD since = GetTickCount();
    while (net->printerSideOpen) {
        DWORD listened = GetTickCount() - since;
        if (listened >= ms)
            break;
        if (waitOn(net, connection, 0, ms - listened) == BROKEN)
            return 0;
    }
    return 1;
}

// From the connection to the printer's acknowledgement and its last word: 1,
// or 0 with the call that failed in `call` and its code as the last socket
// error.
static int sendOnConnection(NetSend *net, SOCKET &connection, const char **call)
{
    if ((*call = openConnection(net, &connection)) != NULL)
        return 0;
    *call = "connect";
    if (!connectWithin(connection, &net->printer))
        return 0;
    *call = "getsockname";
    int length = sizeof net->local;
    if (getsockname(connection, (sockaddr *)&net->local, &length) == SOCKET_ERROR)
        return 0;
    *call = "send";
    if (!reachStage(net, SENDING))
        return failWith(WSAECANCELLED);
    return handOver(net, connection) && waitForTail(net, connection) && waitForAcknowledgement(net, connection, call);
}

// The calls, in order. A failure closes the connection, with a reset, before
// the outcome is told: an Exit pressed while the box is open finds nothing
// left to close.
static void sendOverNetwork(Delivery *delivery)
{
    NetSend *net = static_cast<NetSend *>(delivery);
    if (!lookUp(net->host, &net->printer.sin_addr)) {
        decideFailed(net, "gethostbyname", (DWORD)WSAGetLastError());
        return;
    }
    noteSignOfLife(net);
    if (!reachStage(net, CONNECTING))
        return;
    SOCKET connection = INVALID_SOCKET;
    const char *call = NULL;
    linger orderly = { 0, 0 };
    // Once the printer's system has everything, the close must be an orderly
    // one, or the printer might drop what it holds but has not read.
    if (!sendOnConnection(net, connection, &call) ||
        (call = "setsockopt", setsockopt(connection, SOL_SOCKET, SO_LINGER, (const char *)&orderly,
                                         sizeof orderly) == SOCKET_ERROR)) {
        DWORD error = (DWORD)WSAGetLastError();
        closeConnection(net);
        decideFailed(net, call, error);
        return;
    }
    decideDelivered(net);
    listenToPrinter(net, connection, LISTEN_AFTER_MS);
    closeConnection(net);
}

// ---------------------------------------------------------------- the dialog's thread

// Given up or cut short: the connection ends now, with a reset (see
// openConnection), which also ends the call the delivery's thread is in.
static void stopSending(Delivery *delivery)
{
    NetSend *net = static_cast<NetSend *>(delivery);
    if (net->connection != INVALID_SOCKET)
        closesocket(net->connection);
    net->connection = INVALID_SOCKET;
}

static void freeSend(Delivery *delivery)
{
    free(static_cast<NetSend *>(delivery));
}

void loadNetworkLibraries(void)
{
    // Asking the TCP table's size loads its library (src/libraries.cpp). It
    // takes Wine some 10 ms, which a send would wait for.
    ULONG tableSize = 0;
    GetTcpTable(NULL, &tableSize, FALSE);
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

// The operator's box for a send that did not end with everything at the
// printer.
static void tellFailure(const char *host, const Outcome &outcome)
{
    if (outcome.fate == DELIVERY_CUT_SHORT) {
        SetLastError(ERROR_CANCELLED);
        displayLastError();
    } else if (outcome.stage == LOOKING_UP) {
        displayMsg2("Couldn't find printer: ", host);
    } else if (outcome.stage == CONNECTING && (outcome.call == NULL || strcmp(outcome.call, "connect") == 0)) {
        displayMsg1("Unable to connect to port 9100 on device");
    } else {
        WSASetLastError(outcome.fate == DELIVERY_GIVEN_UP ? WSAETIMEDOUT : (int)outcome.error);
        displayWSAError(outcome.call != NULL ? outcome.call : "send");
    }
}

int SendDataToNetHost(const char *typed, const BYTE *data, DWORD size, CProgressBar *progress)
{
    // A host name has at most 254 characters: the rest is never looked at.
    char host[255];
    format_text(host, "%s", typed);
    if (host[0] == '\0') {
        displayMsg1("Please Enter Host Name");
        return 0;
    }
    if (!isSafeHostText(host)) {
        displayMsg2("Couldn't find printer: ", host);
        return 0;
    }
    NetSend *net = (NetSend *)calloc(1, sizeof *net);
    if (net != NULL) {
        format_text(net->host, "%s", host);
        net->data = data;
        net->size = size;
        net->connection = INVALID_SOCKET;
        net->printer.sin_family = AF_INET;
        net->printer.sin_port = htons(PRINTER_PORT);
        net->printerSideOpen = TRUE;
        net->run = sendOverNetwork;
        net->stop = stopSending;
        net->destroy = freeSend;
    }
    if (!startDelivery(net)) {
        displayLastError();
        return 0;
    }
    Outcome outcome = waitForDelivery(net, progress);
    if (!outcome.delivered)
        tellFailure(host, outcome);
    return outcome.delivered;
}
