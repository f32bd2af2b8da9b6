// The sentence parsers. No sentence is rejected: what is understood is copied into the record
// and marked in ValidFields; the reader decides from the mask when a cycle is complete.
#include <cmath>
#include "support/units.h"
#include "port_driver/nmea_parser.h"
#include "support/angles.h"
#include "support/clock.h"

namespace {

// A double to an unsigned field as the hardware converts it: NaN and negatives give 0, values
// above the range its maximum.
DWORD ToUnsigned(double v) {
  if (!(v > 0)) return 0;
  if (v >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<DWORD>(v);
}

float ToFloat(double v) {
  if (v > 3.4028234663852886e38) return HUGE_VALF;
  if (v < -3.4028234663852886e38) return -HUGE_VALF;
  return static_cast<float>(v);
}

void TimeOfDay(int count, FixRecord* fix) {
  double t = FieldDouble(count, 1);
  if (t < 0.05) {  // an empty or midnight time takes the clock's now, date included
    ClockNow(&fix->UtcTime);
    fix->ValidFields |= FIX_TIME | FIX_DATE;
    return;
  }
  fix->UtcTime.wHour = static_cast<WORD>(ToUnsigned(std::floor(t * 0.0001)));
  fix->UtcTime.wMinute = static_cast<WORD>(ToUnsigned(std::floor(std::fmod(t * 0.01, 100))));
  fix->UtcTime.wSecond = static_cast<WORD>(ToUnsigned(std::floor(std::fmod(t, 100))));
  // Truncated to whole milliseconds; the small margin keeps ".810" (0.80999999... in binary)
  // from becoming 809.
  DWORD ms = ToUnsigned(std::fmod(t, 1.0) * 1000 + 1e-4);
  fix->UtcTime.wMilliseconds = static_cast<WORD>(ms > 999 ? 999 : ms);
  fix->ValidFields |= FIX_TIME;
}

void Date(int count, FixRecord* fix) {
  int n = FieldInt(count, 9);
  if (n == 0) {
    ClockNow(&fix->UtcTime);
    fix->ValidFields |= FIX_TIME | FIX_DATE;
    return;
  }
  fix->UtcTime.wYear = static_cast<WORD>(2000 + n % 100);
  fix->UtcTime.wMonth = static_cast<WORD>(n / 100 % 100);
  fix->UtcTime.wDay = static_cast<WORD>(n / 10000);
  fix->ValidFields |= FIX_DATE;
}

void Position(int count, int latIndex, int lonIndex, FixRecord* fix) {
  fix->Latitude = DdmmToDegrees(FieldDouble(count, latIndex));
  if (FieldText(count, latIndex + 1)[0] == 'S') fix->Latitude = -fix->Latitude;
  fix->Longitude = DdmmToDegrees(FieldDouble(count, lonIndex));
  if (FieldText(count, lonIndex + 1)[0] == 'W') fix->Longitude = -fix->Longitude;
}

void StoreInView(FixRecord* fix, int slot, int count, int field) {
  fix->InViewPrns[slot] = static_cast<DWORD>(FieldInt(count, field));
  fix->InViewElevation[slot] = static_cast<DWORD>(FieldInt(count, field + 1));
  fix->InViewAzimuth[slot] = static_cast<DWORD>(FieldInt(count, field + 2));
  fix->InViewSnr[slot] = static_cast<DWORD>(FieldInt(count, field + 3));
}

}  // namespace

void ParseGGA(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  TimeOfDay(n, fix);
  fix->FixQuality = static_cast<DWORD>(FieldInt(n, 6));
  if (fix->FixQuality != 0) {
    Position(n, 2, 4, fix);
    fix->SatelliteCount = static_cast<DWORD>(FieldInt(n, 7));
    fix->Hdop = FieldFloat(n, 8);
    fix->AltitudeSeaLevel = FieldFloat(n, 9);
    fix->Separation = FieldFloat(n, 11);
  }
  fix->ValidFields |= FIX_LATITUDE | FIX_LONGITUDE | FIX_ALTITUDE_SEA_LEVEL | FIX_SEPARATION | FIX_HDOP |
                      FIX_SATELLITE_COUNT;
}

void ParseRMC(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  TimeOfDay(n, fix);
  Date(n, fix);
  if (FieldText(n, 2)[0] == 'A') {
    Position(n, 3, 5, fix);
    float knots = FieldFloat(n, 7);
    if (knots > 0.001) fix->Speed = knots * kKmhPerKnot;
    float course = FieldFloat(n, 8);
    if (course > 0.05) fix->Heading = course;
    if (FieldText(n, 10)[0]) {
      fix->MagVariation = ToFloat(FieldDouble(n, 10));
      if (FieldText(n, 11)[0] == 'E') fix->MagVariation = -fix->MagVariation;
      fix->ValidFields |= FIX_MAG_VARIATION;
      if (!(fix->ValidFields & FIX_MAG_HEADING)) {
        fix->MagHeading = ToFloat(AngleSum(fix->Heading, fix->MagVariation));
        fix->ValidFields |= FIX_MAG_HEADING;
      }
    }
  }
  fix->ValidFields |= FIX_LATITUDE | FIX_LONGITUDE | FIX_SPEED | FIX_HEADING;
}

void ParseVTG(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  float track = FieldFloat(n, 1);
  if (track > 0.05) fix->Heading = track;
  if (FieldText(n, 3)[0]) {
    fix->MagHeading = FieldFloat(n, 3);
    fix->ValidFields |= FIX_MAG_HEADING;
    if (!(fix->ValidFields & FIX_MAG_VARIATION)) {
      fix->MagVariation = ToFloat(AngleDifference(fix->Heading, fix->MagHeading));
      fix->ValidFields |= FIX_MAG_VARIATION;
    }
  }
  float kmh = FieldFloat(n, 7), knots = FieldFloat(n, 5);
  if (kmh > 0.001) fix->Speed = kmh;
  else if (knots > 0.001) fix->Speed = knots * kKmhPerKnot;
  fix->ValidFields |= FIX_SPEED | FIX_HEADING;
}

void ParseGSA(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  char mode = FieldText(n, 1)[0];
  fix->SelectionType = mode == 'A' ? 1 : (mode == 'M' ? 2 : 0);
  int m = FieldInt(n, 2);
  fix->FixType = m ? static_cast<DWORD>(m - 1) : 0;
  int slot = 0;
  for (int i = 3; i <= 14; ++i) {
    int prn = FieldInt(n, i);
    if (prn) fix->UsedPrns[slot++] = static_cast<DWORD>(prn);
  }
  fix->Pdop = FieldFloat(n, 15);
  fix->Hdop = FieldFloat(n, 16);
  fix->Vdop = FieldFloat(n, 17);
  fix->ValidFields |= FIX_PDOP | FIX_HDOP | FIX_VDOP | FIX_USED_PRNS;
}

void ParseGSV(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  // Receivers of NMEA 4.10 end the sentence with a one-field signal ID; it is not a satellite.
  if (n > 4 && (n - 4) % 4 == 1) --n;
  int64_t total = FieldInt(n, 1), k = FieldInt(n, 2), inView = FieldInt(n, 3);
  if (total * 4 <= kMaxSatellites) {
    fix->SatellitesInView = static_cast<DWORD>(inView);
    for (int g = 0; g < 4; ++g) {
      int64_t slot = (k - 1) * 4 + g;
      if (slot >= 0 && slot < kMaxSatellites)  // a message number outside 1..3 has no slots
        StoreInView(fix, static_cast<int>(slot), n, 4 + 4 * g);
    }
  } else {
    // More than twelve announced: keep those with a known position first.
    int64_t filled = k == 1 ? 0 : fix->SatellitesInView;
    if (filled > kMaxSatellites) filled = kMaxSatellites;
    int64_t free = kMaxSatellites - filled;
    int64_t remaining = (total - k + 1) * 4;
    for (int g = 0; g < 4 && filled < kMaxSatellites; ++g) {
      int field = 4 + 4 * g;
      int prn = FieldInt(n, field), el = FieldInt(n, field + 1), az = FieldInt(n, field + 2);
      if (remaining <= free || (prn != 0 && (el != 0 || az != 0))) {
        StoreInView(fix, static_cast<int>(filled), n, field);
        ++filled;
        --free;
      }
      --remaining;
    }
    fix->SatellitesInView = static_cast<DWORD>(filled);
  }
  if (k == total) fix->ValidFields |= FIX_IN_VIEW_GROUP;
  else fix->ValidFields &= ~FIX_IN_VIEW_GROUP;
}

void ParseNmeaSentence(const char* sentence, FixRecord* fix) {
  switch (GetSentenceType(sentence)) {
    case NMEA_GGA: ParseGGA(sentence, fix); break;
    case NMEA_RMC: ParseRMC(sentence, fix); break;
    case NMEA_VTG: ParseVTG(sentence, fix); break;
    case NMEA_GSA: ParseGSA(sentence, fix); break;
    case NMEA_GSV: ParseGSV(sentence, fix); break;
    default: break;  // $PGRMT and other talkers are ignored
  }
}
