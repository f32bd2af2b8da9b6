// The geoid table (a 1-degree world grid of separations in whole metres, 181 x 361 signed
// bytes) and the per-port altitude correction.
#pragma once
#include "support/fix_record.h"

constexpr int kGeoidRows = 181;
constexpr int kGeoidColumns = 361;
constexpr long kGeoidTableSize = kGeoidRows * kGeoidColumns;
static_assert(kGeoidTableSize == 65341);
constexpr float kSeparationUnknown = 200.0f;

// Altitude types of a port.
constexpr signed char ALT_UNKNOWN = 0;
constexpr signed char ALT_ELLIPSOID_IN_SEPARATION = 1;
constexpr signed char ALT_SEA_LEVEL_AND_ELLIPSOID = 2;
constexpr signed char ALT_ELLIPSOID_IN_SEA_LEVEL = 4;
constexpr signed char ALT_AS_NMEA = 5;

int LoadGeoidBlock(long origin);
int GetGeoidCell(long cell, signed char values[4]);
// 0 and the separation in *separation, or 1 when the table is unavailable.
int GetGeoid(double latitude, double longitude, float* separation);
void InjectSeparation(FixRecord* fix, int port);

// The reader clears a port's reference flag when it switches to that port.
void ClearAltitudeReference(int port);
signed char PortAltitudeType(int port);
float CurrentSeparation();
// Back to the state of a freshly loaded driver (tests).
void ResetGeoidState();
