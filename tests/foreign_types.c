/* The header in a program whose other headers define BOOL their own way, as X11's <X11/Xmd.h> and
 * Objective-C do (one byte), with KALVICOM_NO_WIN32_TYPES: it must compile as C and as C++, and the
 * library's own type names must keep the layout of the Windows records. Compiled, never run. */
#ifdef OBJC_STYLE_BOOL
typedef signed char BOOL; /* what Objective-C's <objc/objc.h> declares on x86_64 */
#else
#include <X11/Xmd.h>
#endif

#define KALVICOM_NO_WIN32_TYPES
#include "kalvicom.h"

#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
#define CHECK(what) static_assert(what, #what)
#else
#define CHECK(what) _Static_assert(what, #what)
#endif

CHECK(sizeof(BOOL) == 1); /* the program's own BOOL is untouched */
CHECK(sizeof(kv_bool) == 4 && sizeof(kv_dword) == 4 && sizeof(kv_word) == 2 && sizeof(kv_byte) == 1);
CHECK(sizeof(kv_dcb) == 28 && offsetof(kv_dcb, XonLim) == 14 && offsetof(kv_dcb, ByteSize) == 18);
CHECK(offsetof(kv_dcb, StopBits) == 20 && offsetof(kv_dcb, wReserved1) == 26);
CHECK(sizeof(kv_commtimeouts) == 20 && offsetof(kv_commtimeouts, WriteTotalTimeoutConstant) == 16);
CHECK(KV_MAXDWORD == 0xffffffffu && KV_SPACEPARITY == 4 && KV_TWOSTOPBITS == 2);

kv_bool Configure(const char *address)
{
    kv_dcb dcb;
    kv_commtimeouts timeouts = {KV_MAXDWORD, KV_MAXDWORD, 2000, 0, 0};
    kv_handle port = KvCreateFile(address);
    kv_bool done;
    if (port == KV_INVALID_HANDLE_VALUE)
        return 0;
    memset(&dcb, 0, sizeof dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = KV_NOPARITY;
    dcb.StopBits = KV_ONESTOPBIT;
    done = KvSetCommState(port, &dcb) && KvSetCommTimeouts(port, &timeouts);
    KvCloseHandle(port);
    return done;
}
