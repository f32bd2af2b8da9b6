// The geoid table: a 9 x 9 block of it cached, read from the storage card's "\Quorvale" folder
// or from "\Windows", and interpolated bilinearly.
#include <cmath>
#include <cstdio>
#include <cstring>
#include "geoid_state.h"
#include "platform/platform.h"
#include "geoid.h"
#include "settings_store/settings.h"
#include "support/data_file.h"
#include "support/log.h"

GeoidState g_Geoid = {{}, -1, kSeparationUnknown, 0, {}};

int LoadGeoidBlock(long origin) {
  char name[32];
  snprintf(name, sizeof name, "AltitudeTable_%d.RAW", 1);
  WCHAR path[MAX_PATH];
  FILE* f = OpenDataFile(path, name, TRUE);
  if (!f) {
    char windows[64];
    snprintf(windows, sizeof windows, "\\Windows\\AltitudeTable_%d.RAW", 1);
    f = PlatformFopen(windows, "rb");
  }
  if (!f) {
    g_System.EnableAltSep = 0;  // off until the settings are loaded again
    return -1;
  }
  for (int i = 0; i < 9; ++i) {
    memset(g_Geoid.cache + 9 * i, 0, 9);
    if (fseek(f, origin + i * kGeoidColumns, SEEK_SET) == 0)
      if (fread(g_Geoid.cache + 9 * i, 1, 9, f) != 9) {
        // A short table leaves zeros, as a read error inside the file is not otherwise noticed.
      }
  }
  g_Geoid.origin = origin;
  fclose(f);
  return 0;
}

static bool FromCache(long cell, signed char values[4]) {
  if (g_Geoid.origin == -1) return false;
  long d = cell - g_Geoid.origin;
  long r = d / kGeoidColumns, c = d - r * kGeoidColumns;
  if (r < 0 || r >= 8 || c < 0 || c >= 8) return false;
  const signed char* p = g_Geoid.cache + 9 * r + c;
  values[0] = p[0];
  values[1] = p[1];
  values[2] = p[9];
  values[3] = p[10];
  return true;
}

int GetGeoidCell(long cell, signed char values[4]) {
  if (FromCache(cell, values)) return 0;
  long r = cell / kGeoidColumns, c = cell - r * kGeoidColumns;
  long r0 = r - 4 < 0 ? 0 : (r - 4 > 172 ? 172 : r - 4);
  long c0 = c - 4 < 0 ? 0 : (c - 4 > 352 ? 352 : c - 4);
  if (LoadGeoidBlock(r0 * kGeoidColumns + c0) != 0) return 1;
  return FromCache(cell, values) ? 0 : 1;
}

int GetGeoid(double lat, double lon, float* separation) {
  if (!(lat <= 89.99)) lat = 89.99;  // NaN too: a position the receiver garbled stays inside the table
  if (lat < -90) lat = -90;
  if (!std::isfinite(lon)) lon = 0;
  lon = std::fmod(lon, 360.0);
  if (lon >= 180) lon -= 360;
  if (lon < -180) lon += 360;
  double i = std::floor(lat), f = lat - i;
  double j = std::floor(lon), g = lon - j;
  signed char v[4];
  if (GetGeoidCell(static_cast<long>((i + 90) * kGeoidColumns + (j + 180)), v) != 0) {
    LogLine(LOG_CRLF, "GetGeoid Can't load Index");
    return 1;
  }
  double south = (v[1] - v[0]) * g + v[0];
  double north = (v[3] - v[2]) * g + v[2];
  *separation = static_cast<float>((north - south) * f + south);
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "GetGeoid for %.6f, %.6f Returned %.1f", lat, lon, *separation);
  return 0;
}

float CurrentSeparation() { return g_Geoid.separation; }

void ResetGeoidState() {
  memset(&g_Geoid, 0, sizeof g_Geoid);
  g_Geoid.origin = -1;
  g_Geoid.separation = kSeparationUnknown;
}
