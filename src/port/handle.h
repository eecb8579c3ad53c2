// Turning a caller's handle into its port: the null and INVALID_HANDLE_VALUE check that every
// exported call on a port makes first.
#ifndef KALVICOM_PORT_HANDLE_H
#define KALVICOM_PORT_HANDLE_H

#include "kalvicom.h"
#include "port/port_context.h"

// The port behind a handle, or nullptr for a null handle or INVALID_HANDLE_VALUE.
inline PortContext *PortFromHandle(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<PortContext *>(handle);
}

#endif
