// The socket floor: the least the platform needs to put the image at a
// printer's port 9100 and know that the printer has it. Resolve, connect,
// one send of the whole image with the system's own buffers, shut down,
// read until the printer closes; no buffer settings, no time-outs, no
// pieces, whatever the updater does around its own calls:
//
//   floor_socket HOST
//
// Windows Sockets are started first, outside the timed calls, as the updater
// starts them with its dialog. Prints the wall-clock time before each call
// and after the last (resolve_at ... end_at), or fails with the call and
// its error code.
#include "bench.h"

#include <winsock.h>

static int failed(SOCKET connection, const char *call)
{
    fprintf(stderr, "%s failed: error %d\n", call, WSAGetLastError());
    if (connection != INVALID_SOCKET)
        closesocket(connection);
    return 1;
}

int main(int argc, char **argv)
{
    const BYTE *image;
    DWORD size;
    WSADATA sockets;
    if (!startFloor(argc, "floor_socket HOST", &image, &size))
        return 1;
    int started = WSAStartup(0x0001, &sockets);
    if (started != 0) {
        fprintf(stderr, "WSAStartup failed: error %d\n", started);
        return 1;
    }

    settleAfterStart();
    Stamps stamps;
    stamps.mark("resolve");
    hostent *entry = gethostbyname(argv[1]);
    if (entry == NULL || entry->h_addr_list == NULL || entry->h_addr_list[0] == NULL)
        return failed(INVALID_SOCKET, "gethostbyname");
    sockaddr_in printer;
    memset(&printer, 0, sizeof printer);
    printer.sin_family = AF_INET;
    memcpy(&printer.sin_addr, entry->h_addr_list[0], sizeof printer.sin_addr);
    printer.sin_port = htons(9100);

    stamps.mark("socket");
    SOCKET connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection == INVALID_SOCKET)
        return failed(INVALID_SOCKET, "socket");
    stamps.mark("connect");
    if (connect(connection, (sockaddr *)&printer, sizeof printer) == SOCKET_ERROR)
        return failed(connection, "connect");
    stamps.mark("send");
    for (DWORD sent = 0; sent < size;) {
        int now = send(connection, (const char *)image + sent, (int)(size - sent), 0);
        if (now <= 0)
            return failed(connection, "send");
        sent += (DWORD)now;
    }
    stamps.mark("shutdown");
    if (shutdown(connection, 1 /* SD_SEND */) == SOCKET_ERROR)
        return failed(connection, "shutdown");
    // Read until the printer closes its side: only then is it known to have
    // taken everything.
    stamps.mark("drain");
    char discarded[512];
    int got;
    while ((got = recv(connection, discarded, sizeof discarded, 0)) > 0) {
    }
    if (got == SOCKET_ERROR)
        return failed(connection, "recv");
    stamps.mark("close");
    closesocket(connection);
    stamps.mark("end");
    stamps.print();
    WSACleanup();
    return 0;
}
