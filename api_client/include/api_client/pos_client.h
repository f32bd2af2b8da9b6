// PosClient: the six GPS API calls, each forwarded unchanged as one message to "GPD0:".
#pragma once
#include "platform/gps_api.h"

extern "C" {
HANDLE GPSOpenDevice(HANDLE newLocation, HANDLE stateChange, const WCHAR* name, DWORD flags);
DWORD GPSCloseDevice(HANDLE device);
DWORD GPSGetPosition(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD flags);
DWORD GPSGetDeviceState(GPS_DEVICE* device);
DWORD GPSGetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD* size);
DWORD GPSSetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD size);
}
