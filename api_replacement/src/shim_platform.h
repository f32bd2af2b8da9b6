// The platform's own GPS API library behind PosShim, loaded on first need.
#pragma once
#include "platform/gps_api.h"

struct PlatformGpsApi {
  HANDLE (*open)(HANDLE, HANDLE, const WCHAR*, DWORD);
  DWORD (*close)(HANDLE);
  DWORD (*getPosition)(HANDLE, GPS_POSITION*, DWORD, DWORD);
  DWORD (*getDeviceState)(GPS_DEVICE*);
  DWORD (*getDeviceParam)(HANDLE, DWORD, BYTE*, DWORD*);
  DWORD (*setDeviceParam)(HANDLE, DWORD, BYTE*, DWORD);
};

// The library's entry points, loading it when needed (logs and last error 128/129 on failure);
// null when it can't be had.
const PlatformGpsApi* PlatformApi();
// Counts a handle the platform library gave out, and one given back; the library is unloaded
// when the last one is closed, never under live handles.
void PlatformHandleOpened();
void PlatformHandleClosed();
