// The last known position in the registry. The position is written before its time, and read
// after it with the time read again afterwards, so that a reader never pairs a new time with
// an old position.
#include <cmath>
#include <cstdio>
#include <cstring>
#include "platform/platform.h"
#include "location_store.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

// The two keys stay open from fix to fix (opening a key by its path cost as much as the writes);
// a handle the registry no longer takes (the key deleted, the registry reopened) is opened afresh.
struct KeptKey {
  LPCWSTR path;
  HKEY key;
};
KeptKey g_kept[] = {{CELL_TOWER_KEY, nullptr}, {MY_LOCATION_KEY, nullptr}};

LONG WriteAll(HKEY key, const WCHAR* lat, const WCHAR* lon, const FILETIME* time) {
  LONG err = WriteString(key, u"Latitude", lat);
  if (err == ERROR_SUCCESS) err = WriteString(key, u"Longitude", lon);
  if (err == ERROR_SUCCESS) err = WriteValue(key, u"LastGpsUpdateTime", REG_BINARY, time, sizeof *time);
  return err;
}

void WritePosition(KeptKey* kept, const WCHAR* lat, const WCHAR* lon, const FILETIME* time) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!kept->key && OpenKey(kept->path, &kept->key) != ERROR_SUCCESS) {
      kept->key = nullptr;
      return;
    }
    if (WriteAll(kept->key, lat, lon, time) == ERROR_SUCCESS) return;
    RegCloseKey(kept->key);
    kept->key = nullptr;
  }
}

float ReadCoordinate(HKEY key, LPCWSTR name) {
  WCHAR text[16 + 1] = {};
  if (ReadValue(key, name, text, 32) != ERROR_SUCCESS) return 0;
  text[16] = 0;
  float value = 0;
  sscanf(WideToUtf8(text).c_str(), "%f", &value);
  return value;
}

// Reads the tower time; 1 when it is later than the stored GPS time (or there is none).
int TowerIsNewer(HKEY key, FILETIME* tower) {
  if (ReadValue(key, u"LastTowerUpdateTime", tower, 8) != ERROR_SUCCESS) return 0;
  FILETIME gps;
  if (ReadValue(key, u"LastGpsUpdateTime", &gps, 8) == ERROR_SUCCESS && CompareFileTime(tower, &gps) < 1) return 0;
  return 1;
}

// Reads the position belonging to the tower time `tower`; 0 when the time changed meanwhile
// (a writer was at work) so the caller reads again.
int ReadPosition(HKEY key, const FILETIME* tower, float* lat, float* lon) {
  *lat = ReadCoordinate(key, u"Latitude");
  *lon = ReadCoordinate(key, u"Longitude");
  FILETIME again;
  if (ReadValue(key, u"LastTowerUpdateTime", &again, 8) != ERROR_SUCCESS) return 1;
  return CompareFileTime(tower, &again) == 0;
}

void FillStoredFix(FixRecord* fix, float lat, float lon, DWORD prn) {
  fix->Latitude = lat;
  fix->Longitude = lon;
  fix->Speed = fix->Heading = fix->MagVariation = fix->MagHeading = 0;
  fix->AltitudeSeaLevel = fix->Separation = 0;
  fix->FixQuality = fix->FixType = fix->SelectionType = 1;
  fix->Pdop = fix->Hdop = fix->Vdop = 10.0f;
  const int slot = kMaxSatellites - 1;
  fix->UsedPrns[slot] = fix->InViewPrns[slot] = prn;
  fix->InViewElevation[slot] = fix->InViewAzimuth[slot] = 45;
  fix->InViewSnr[slot] = 25;
  fix->SatelliteCount += 1;
  fix->SatellitesInView += 1;
  fix->ValidFields = FIX_COMPLETE_BURST;
  fix->SourceKind = SOURCE_CELL_OR_STORED;
}

// The tower position of one key, read consistently; 0 when the key has none newer than GPS.
int ReadTowerPosition(HKEY key, float* lat, float* lon) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    FILETIME tower;
    if (!TowerIsNewer(key, &tower)) return 0;
    if (ReadPosition(key, &tower, lat, lon)) return 1;
  }
  return 0;  // kept changing: try again at the next output
}

// One registry transaction per fix was a third of the driver's work at 10 fixes a second. A fix
// 0.9 s (by the receiver's own times) after the one last written is written: every fix of a 1 Hz
// receiver, however late each is read, and the newest of a faster one about once a second.
constexpr ULONGLONG kStoreEvery = 900 * kFileTimePerMs;
constexpr DWORD kStoreAtLeastEveryMs = 2000;  // a receiver whose clock stands still is stored all the same

struct HeldPosition {
  CRITICAL_SECTION lock;  // writes keep their order: the newest position is always the last written
  double latitude, longitude;
  FILETIME time;
  int held;
  int written;  // at least once: the first fix is written at once
  ULONGLONG lastWritten;  // the time of the fix last written
  DWORD lastWriteTick;    // and when it was written
  HeldPosition() { InitializeCriticalSection(&lock); }
} g_held;

// Under g_held.lock.
void WriteHeld() {
  g_held.held = 0;
  g_held.written = 1;
  g_held.lastWritten = FileTimeToU64(g_held.time);
  g_held.lastWriteTick = GetTickCount();
  char text[64];
  WCHAR lat[64], lon[64];
  snprintf(text, sizeof text, "%.6f", g_held.latitude);
  Utf8ToWide(text, lat, 64);
  snprintf(text, sizeof text, "%.6f", g_held.longitude);
  Utf8ToWide(text, lon, 64);
  PlatformRegistryBeginBatch();  // both keys in one write: a reader never sees half a position
  for (KeptKey& kept : g_kept) WritePosition(&kept, lat, lon, &g_held.time);
  if (!PlatformRegistryEndBatch()) LogLine(LOG_CRLF, "Last known position not stored");
}

}  // namespace

void SaveGpsLocation(double latitude, double longitude, const SYSTEMTIME* utc) {
  if (std::fabs(latitude) + std::fabs(longitude) <= 5e-7) return;
  FILETIME time;
  if (!SystemTimeToFileTime(utc, &time)) return;  // a time the receiver garbled is not stored
  EnterCriticalSection(&g_held.lock);
  g_held.latitude = latitude;
  g_held.longitude = longitude;
  g_held.time = time;
  g_held.held = 1;
  const ULONGLONG t = FileTimeToU64(time);  // a time that went back (another receiver) is written too
  if (!g_held.written || t < g_held.lastWritten || t - g_held.lastWritten >= kStoreEvery ||
      GetTickCount() - g_held.lastWriteTick >= kStoreAtLeastEveryMs)
    WriteHeld();
  LeaveCriticalSection(&g_held.lock);
}

void FlushGpsLocation() {
  EnterCriticalSection(&g_held.lock);
  if (g_held.held) WriteHeld();
  LeaveCriticalSection(&g_held.lock);
}

int LoadStoredLocation(FixRecord* fix, WCHAR* name) {
  FlushGpsLocation();  // the tower position is compared with the newest fix, not one held back
  int result = 0;
  if (fix->SatelliteCount >= 12) fix->SatelliteCount = 11;
  if (fix->SatellitesInView >= 12) fix->SatellitesInView = 11;
  HKEY key;
  float lat, lon;
  if (OpenKey(CELL_TOWER_KEY, &key) == ERROR_SUCCESS) {
    // A zero (or missing) tower position is no position: it must not overwrite the record's.
    if (ReadTowerPosition(key, &lat, &lon) && std::fabs(lat) + std::fabs(lon) > 5e-7) {
      result = 1;
      memset(name, 0, 16 * sizeof(WCHAR));
      if (ReadValue(key, u"LastCell", name, 32) != ERROR_SUCCESS) name[0] = 0;
      name[15] = 0;
      FillStoredFix(fix, lat, lon, kCellTowerPrn);
    }
    RegCloseKey(key);
    if (result == 1) return 1;
  }
  if (OpenKey(MY_LOCATION_KEY, &key) != ERROR_SUCCESS) return result;
  if (!ReadTowerPosition(key, &lat, &lon)) {
    RegCloseKey(key);
    return 0;
  }
  WideCopy(name, 16, u"MyLocation");
  FillStoredFix(fix, lat, lon, kMyLocationPrn);
  RegCloseKey(key);
  return 1;
}
