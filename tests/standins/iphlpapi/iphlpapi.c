/* An iphlpapi.dll whose TCP table cannot be read, as on a system whose IP
   helper is damaged or locked down: the updater then cannot know whether
   the printer acknowledged the image. */
#include <windows.h>

DWORD WINAPI GetTcpTable(void *table, ULONG *size, BOOL sorted)
{
    (void)table;
    (void)size;
    (void)sorted;
    return ERROR_NOT_SUPPORTED;
}
