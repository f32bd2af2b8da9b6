// Message beeps: recorded for tests, and a terminal bell where stderr is a terminal.
#pragma once
#include "platform/types.h"

#define MB_OK 0x00000000u
#define MB_ICONHAND 0x00000010u

BOOL MessageBeep(UINT type);
int PlatformBeepCount();
