// The platform's own GPS API library behind PosShim, loaded on first need.
#pragma once
#include "platform/gps_api.h"


// The library's entry points, loading it when needed (logs and last error 128/129 on failure);
// null when it can't be had.
const GpsApiCalls* PlatformApi();
// Counts a handle the platform library gave out, and one given back; the library is unloaded
// when the last one is closed, never under live handles.
void PlatformHandleOpened();
void PlatformHandleClosed();
