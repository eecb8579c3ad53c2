// Library-load entry on POSIX systems. There is no network stack to start, so the entry only
// runs the same start-up step as elsewhere, which cannot fail here.
#include "platform/startup.h"

__attribute__((constructor)) static void OnLibraryLoad()
{
    LibraryLoadEntry(kLoadProcessAttach);
}
