// PosShim: the GPS API served from the driver's records ("gpsapi.dll"), with the platform's own
// library ("gpsapiOrig.dll") behind it for what it does not serve itself.
#pragma once
#include "platform/gps_api.h"
#include "support/fix_record.h"

constexpr int kShimHandles = 10;
constexpr uintptr_t kShimHandleBase = 0x0D1E0000;

// A record of the driver as the API serves it: knots, the variation widened, the course from the
// compass made true, the height above the ellipsoid.
void ConvertDriverRecord(const FixRecord* raw, GPS_POSITION* out);

// Exports the six calls of platform/gps_api.h, and:
extern "C" {
// Names this library as the system's own output: the driver never reads it as a source.
DWORD FerroxOwnOutput();
}
