// The last known position in the registry: stored after every good fix, and the tower position
// published by the cell service (or another location component) read back when there is no fix.
#pragma once
#include "support/fix_record.h"

#define CELL_TOWER_KEY u"Software\\Quorvale\\CellTower"
#define MY_LOCATION_KEY u"Services\\myLocation"

constexpr DWORD kCellTowerPrn = 85;
constexpr DWORD kMyLocationPrn = 88;

// Stores a fix's position; a receiver faster than one fix a second has its newest fix written
// about once a second, the others held (see FlushGpsLocation).
void SaveGpsLocation(double latitude, double longitude, const SYSTEMTIME* utc);
// Writes the position held back since the last write, if any: at the end of a run of fixes, when
// the reader sleeps or stops, and before a stored position is read.
void FlushGpsLocation();
// Fills the record from a published position newer than the last stored GPS fix; `name` (16
// units) receives the cell id or "MyLocation". Returns 1 when the record was filled.
int LoadStoredLocation(FixRecord* fix, WCHAR* name);
