// The 32-bit platform fixes the sizes of the records the system hands to it.
// The code never writes them as numbers; this file makes the 32-bit build
// fail if a header ever gives them otherwise.
#include <windows.h>
#include <iphlpapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstddef>

#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW on 32-bit Windows");
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W on 32-bit Windows");
static_assert(offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID) == 952,
              "NOTIFYICONDATAW up to guidItem on 32-bit Windows");
// The adapter record is 648 bytes where time_t is 64 bits and 640 with the
// 32-bit time_t of mingw's headers; the adapter buffer is sized in bytes for
// that reason, not in records.
static_assert(sizeof(IP_ADAPTER_INFO) == 640 || sizeof(IP_ADAPTER_INFO) == 648, "IP_ADAPTER_INFO on 32-bit Windows");
#endif
