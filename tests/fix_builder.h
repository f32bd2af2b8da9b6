// Fix records for the correction tests.
#pragma once
#include "platform/platform.h"
#include "test_root.h"
#include "support/fix_record.h"

inline SYSTEMTIME Utc(WORD h, WORD m, WORD s, WORD ms = 0) { return MakeTime(2026, 12, 6, h, m, s, ms); }

inline SYSTEMTIME Later(SYSTEMTIME t, LONG ms) {
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  ft = U64ToFileTime(FileTimeToU64(ft) + static_cast<ULONGLONG>(static_cast<int64_t>(ms) * 10000));
  FileTimeToSystemTime(&ft, &t);
  return t;
}

// A complete fix of a receiver on COM4: with date, position, quality, 3D and HDOP 1.
inline FixRecord GoodFix(SYSTEMTIME t, double lat, double lon, float speedKmh, float heading) {
  FixRecord f{};
  f.ValidFields = FIX_COMPLETE_BURST;
  f.UtcTime = t;
  f.Latitude = lat;
  f.Longitude = lon;
  f.Speed = speedKmh;
  f.Heading = heading;
  f.FixQuality = 1;
  f.FixType = 2;
  f.Pdop = f.Hdop = f.Vdop = 1.0f;
  f.SatelliteCount = 8;
  f.SatellitesInView = 10;
  return f;
}
