/* A wsock32.dll whose WSAStartup fails the way a machine without a working
   network stack does; every other function the updater imports is forwarded
   to ws2_32 by the .def file. */
#include <winsock2.h>

int WINAPI StandinWSAStartup(WORD version, LPWSADATA data)
{
    (void)version;
    (void)data;
    return WSASYSNOTREADY;
}
