// One datagram to a Unix socket another program listens on (a time daemon's sample socket).
#pragma once
#include "platform/types.h"

// Sends `size` bytes to the datagram socket at `path`. Returns 1 when the socket took them; 0
// with the last error set (ERROR_PATH_NOT_FOUND: no socket there, ERROR_NOT_READY: nothing
// listening or its queue full, ERROR_INVALID_PARAMETER: a path too long for a socket).
int PlatformSendDatagram(const char* path, const void* data, DWORD size);
