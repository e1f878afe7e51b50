// The network send: the payload as one raw TCP stream to port 9100 of the
// printer named by the operator.
#ifndef FLASH_NETWORK_H
#define FLASH_NETWORK_H

#include <winsock.h>
#include <windows.h>

class CProgressBar;

// Sends to `host` (a name or an IPv4 address, as typed in the host box): 1
// when the printer's system has acknowledged every byte and the end of the
// stream; 0 when not, the operator told why. Shows on `progress`, when
// given, what the printer has taken. Windows Sockets must be started.
int SendDataToNetHost(const char *host, const BYTE *data, DWORD size, CProgressBar *progress = NULL);

// Loads the libraries a network send takes beside Windows Sockets, on the
// calling thread: a damaged Windows is told there, at start, not on a
// delivery's thread once the image is out.
void loadNetworkLibraries(void);

// 1 when the host box's text may go to the resolver: a name, or an IPv4
// address written exactly as it prints back; 0 for any other form of an
// address, and for the broadcast address.
int isSafeHostText(const char *host);

#endif
