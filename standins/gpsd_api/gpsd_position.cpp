// Field by field from gpsd's fix, DOPs and sky view into GPS_POSITION.
#include "support/units.h"
#include "gpsd_position.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

namespace {


bool Finite(double v) { return std::isfinite(v); }

void TimeOf(const timespec_t& t, SYSTEMTIME* out) {
  time_t seconds = t.tv_sec;
  tm utc{};
  gmtime_r(&seconds, &utc);
  out->wYear = static_cast<WORD>(utc.tm_year + 1900);
  out->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  out->wDay = static_cast<WORD>(utc.tm_mday);
  out->wHour = static_cast<WORD>(utc.tm_hour);
  out->wMinute = static_cast<WORD>(utc.tm_min);
  out->wSecond = static_cast<WORD>(utc.tm_sec);
  out->wMilliseconds = static_cast<WORD>(t.tv_nsec / 1000000);
}

void Sky(const gps_data_t& d, GPS_POSITION* p) {
  std::vector<const satellite_t*> seen;
  for (int i = 0; i < d.satellites_visible && i < MAXCHANNELS; ++i)
    if (d.skyview[i].PRN > 0) seen.push_back(&d.skyview[i]);
  std::stable_sort(seen.begin(), seen.end(), [](const satellite_t* a, const satellite_t* b) {
    if (a->used != b->used) return a->used;
    double x = Finite(a->ss) ? a->ss : -1, y = Finite(b->ss) ? b->ss : -1;
    return x > y;
  });
  DWORD used = 0;
  for (const satellite_t* s : seen)
    if (s->used && used < GPS_MAX_SATELLITES) p->rgdwSatellitesUsedPRNs[used++] = static_cast<DWORD>(s->PRN);
  p->dwSatelliteCount = d.satellites_used > 0 ? static_cast<DWORD>(d.satellites_used) : used;
  p->dwSatellitesInView = static_cast<DWORD>(seen.size());
  for (size_t i = 0; i < seen.size() && i < GPS_MAX_SATELLITES; ++i) {
    const satellite_t* s = seen[i];
    p->rgdwSatellitesInViewPRNs[i] = static_cast<DWORD>(s->PRN);
    p->rgdwSatellitesInViewElevation[i] = Finite(s->elevation) && s->elevation > 0 ? static_cast<DWORD>(std::lround(s->elevation)) : 0;
    p->rgdwSatellitesInViewAzimuth[i] = Finite(s->azimuth) && s->azimuth >= 0 ? static_cast<DWORD>(std::lround(s->azimuth)) % 360 : 0;
    p->rgdwSatellitesInViewSignalToNoiseRatio[i] = Finite(s->ss) && s->ss > 0 ? static_cast<DWORD>(std::lround(s->ss)) : 0;
  }
  if (!seen.empty())
    p->dwValidFields |= GPS_VALID_SATELLITE_COUNT | GPS_VALID_SATELLITES_USED_PRNS | GPS_VALID_SATELLITES_IN_VIEW |
                        GPS_VALID_SATELLITES_IN_VIEW_PRNS | GPS_VALID_SATELLITES_IN_VIEW_ELEVATION |
                        GPS_VALID_SATELLITES_IN_VIEW_AZIMUTH | GPS_VALID_SATELLITES_IN_VIEW_SIGNAL_TO_NOISE_RATIO;
  else if (d.satellites_used > 0)
    p->dwValidFields |= GPS_VALID_SATELLITE_COUNT;
}

}  // namespace

void GpsdToPosition(const gps_data_t& d, GPS_POSITION* p) {
  memset(p, 0, sizeof *p);
  p->dwVersion = GPS_VERSION_1;
  p->dwSize = sizeof *p;
  const gps_fix_t& f = d.fix;
  if (f.time.tv_sec > 0) {
    TimeOf(f.time, &p->stUTCTime);
    p->dwValidFields |= GPS_VALID_UTC_TIME;
  }
  if (f.mode >= MODE_2D && Finite(f.latitude) && Finite(f.longitude)) {
    p->dblLatitude = f.latitude;
    p->dblLongitude = f.longitude;
    p->dwValidFields |= GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE;
  }
  if (Finite(f.speed)) {
    p->flSpeed = static_cast<float>(f.speed * kKnotsPerMetrePerSecond);
    p->dwValidFields |= GPS_VALID_SPEED;
  }
  if (Finite(f.track)) {
    p->flHeading = static_cast<float>(f.track);
    p->dwValidFields |= GPS_VALID_HEADING;
  }
  // gpsd counts an easterly variation positive; the record a westerly one. A receiver's "999.9"
  // (none) is no variation.
  if (Finite(f.magnetic_var) && std::fabs(f.magnetic_var) <= 180) {
    p->dblMagneticVariation = -f.magnetic_var;
    p->dwValidFields |= GPS_VALID_MAGNETIC_VARIATION;
  }
  if (f.mode >= MODE_3D && Finite(f.altMSL)) {
    p->flAltitudeWRTSeaLevel = static_cast<float>(f.altMSL);
    p->dwValidFields |= GPS_VALID_ALTITUDE_WRT_SEA_LEVEL;
  }
  if (f.mode >= MODE_3D && Finite(f.altHAE)) {
    p->flAltitudeWRTEllipsoid = static_cast<float>(f.altHAE);
    p->dwValidFields |= GPS_VALID_ALTITUDE_WRT_ELLIPSOID;
  }
  // The mode says whether there is a fix. gpsd leaves the status out of a report of a plain GPS
  // fix (libgps then keeps 0, "no fix"), so the status only tells a differential fix apart.
  bool fixed = f.mode >= MODE_2D;
  bool differential = f.status == STATUS_DGPS_FIX || f.status == STATUS_RTK_FIX || f.status == STATUS_RTK_FLT;
  p->FixQuality = !fixed ? GPS_FIX_QUALITY_UNKNOWN : differential ? GPS_FIX_QUALITY_DGPS : GPS_FIX_QUALITY_GPS;
  p->FixType = f.mode == MODE_3D ? GPS_FIX_3D : f.mode == MODE_2D ? GPS_FIX_2D : GPS_FIX_UNKNOWN;
  p->SelectionType = GPS_FIX_SELECTION_AUTO;
  if (Finite(d.dop.pdop)) {
    p->flPositionDilutionOfPrecision = static_cast<float>(d.dop.pdop);
    p->dwValidFields |= GPS_VALID_POSITION_DILUTION_OF_PRECISION;
  }
  if (Finite(d.dop.hdop)) {
    p->flHorizontalDilutionOfPrecision = static_cast<float>(d.dop.hdop);
    p->dwValidFields |= GPS_VALID_HORIZONTAL_DILUTION_OF_PRECISION;
  }
  if (Finite(d.dop.vdop)) {
    p->flVerticalDilutionOfPrecision = static_cast<float>(d.dop.vdop);
    p->dwValidFields |= GPS_VALID_VERTICAL_DILUTION_OF_PRECISION;
  }
  Sky(d, p);
}
