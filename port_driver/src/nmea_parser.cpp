// The sentence parsers. No sentence is rejected: what is understood is copied into the record
// and marked in ValidFields; the reader decides from the mask when a cycle is complete. A field
// that breaks its rule (support/nmea_rules.h) is absent: neither copied nor marked; a position
// that breaks it makes the sentence one without a position.
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
  if (FieldBroken(1)) return;
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
  if (FieldBroken(9)) return;
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

// A satellite with a field that breaks its rule is left out (an empty slot).
void StoreInView(FixRecord* fix, int slot, int count, int field) {
  if (SatelliteFieldsBroken(field)) {
    fix->InViewPrns[slot] = fix->InViewElevation[slot] = fix->InViewAzimuth[slot] = fix->InViewSnr[slot] = 0;
    return;
  }
  fix->InViewPrns[slot] = static_cast<DWORD>(FieldInt(count, field));
  fix->InViewElevation[slot] = static_cast<DWORD>(FieldInt(count, field + 1));
  fix->InViewAzimuth[slot] = static_cast<DWORD>(FieldInt(count, field + 2));
  fix->InViewSnr[slot] = static_cast<DWORD>(FieldInt(count, field + 3));
}

}  // namespace

// $GPGGA fields: 1 UTC time hhmmss.ss | 2,3 latitude ddmm.mmmm, N/S | 4,5 longitude dddmm.mmmm,
// E/W | 6 fix quality (0 none, 1 GPS, 2 DGPS...) | 7 satellites used | 8 HDOP | 9,10 altitude
// above sea level, M | 11,12 geoid separation, M | 13 DGPS age | 14 DGPS station.
enum GgaField { GGA_TIME = 1, GGA_LAT = 2, GGA_LON = 4, GGA_QUALITY = 6, GGA_SATELLITES = 7, GGA_HDOP = 8,
                GGA_ALTITUDE = 9, GGA_SEPARATION = 11 };

void ParseGGA(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  TimeOfDay(n, fix);
  // A quality or a position that breaks its rule: the sentence gives no fix.
  bool fixed = !FieldBroken(GGA_QUALITY) && PositionFieldsValid(GGA_LAT, GGA_LON);
  fix->FixQuality = fixed ? static_cast<DWORD>(FieldInt(n, GGA_QUALITY)) : 0;
  DWORD valid = FIX_LATITUDE | FIX_LONGITUDE;
  const struct {
    int field;
    DWORD bit;
  } kValues[] = {{GGA_ALTITUDE, FIX_ALTITUDE_SEA_LEVEL}, {GGA_SEPARATION, FIX_SEPARATION}, {GGA_HDOP, FIX_HDOP},
                 {GGA_SATELLITES, FIX_SATELLITE_COUNT}};
  for (const auto& v : kValues)
    if (!FieldBroken(v.field)) valid |= v.bit;
  if (fix->FixQuality != 0) {
    Position(n, GGA_LAT, GGA_LON, fix);
    if (valid & FIX_SATELLITE_COUNT) fix->SatelliteCount = static_cast<DWORD>(FieldInt(n, GGA_SATELLITES));
    if (valid & FIX_HDOP) fix->Hdop = FieldFloat(n, GGA_HDOP);
    // A refused altitude or separation is no number at all: nothing downstream can take it for one.
    fix->AltitudeSeaLevel = (valid & FIX_ALTITUDE_SEA_LEVEL) ? FieldFloat(n, GGA_ALTITUDE) : NAN;
    fix->Separation = (valid & FIX_SEPARATION) ? FieldFloat(n, GGA_SEPARATION) : NAN;
  }
  fix->ValidFields |= valid;
}

// $GPRMC fields: 1 UTC time | 2 status A (valid) or V | 3,4 latitude, N/S | 5,6 longitude, E/W |
// 7 speed over ground, knots | 8 course over ground, degrees true | 9 date ddmmyy | 10,11
// magnetic variation, degrees, E/W | 12 mode (NMEA 2.3).
enum RmcField { RMC_TIME = 1, RMC_STATUS = 2, RMC_LAT = 3, RMC_LON = 5, RMC_KNOTS = 7, RMC_COURSE = 8,
                RMC_VARIATION = 10, RMC_VARIATION_SIDE = 11 };

int ParseRMC(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  TimeOfDay(n, fix);
  Date(n, fix);
  DWORD valid = FIX_LATITUDE | FIX_LONGITUDE;
  if (!FieldBroken(RMC_KNOTS)) valid |= FIX_SPEED;
  if (!FieldBroken(RMC_COURSE)) valid |= FIX_HEADING;
  bool fixed = FieldText(n, RMC_STATUS)[0] == 'A' && PositionFieldsValid(RMC_LAT, RMC_LON);
  if (fixed) {
    Position(n, RMC_LAT, RMC_LON, fix);
    float knots = (valid & FIX_SPEED) ? FieldFloat(n, RMC_KNOTS) : 0.0f;
    if (knots > 0.001) fix->Speed = knots * kKmhPerKnot;
    float course = (valid & FIX_HEADING) ? FieldFloat(n, RMC_COURSE) : 0.0f;
    if (course > 0.05) fix->Heading = course;
    // Receivers that write another letter than E or W beside a variation mean W, as they always did.
    if (FieldGiven(n, RMC_VARIATION)) {
      fix->MagVariation = ToFloat(FieldDouble(n, RMC_VARIATION));
      if (FieldText(n, RMC_VARIATION_SIDE)[0] == 'E') fix->MagVariation = -fix->MagVariation;
      fix->ValidFields |= FIX_MAG_VARIATION;
      if (!(fix->ValidFields & FIX_MAG_HEADING)) {
        fix->MagHeading = ToFloat(AngleSum(fix->Heading, fix->MagVariation));
        fix->ValidFields |= FIX_MAG_HEADING;
      }
    }
  }
  fix->ValidFields |= valid;
  return fixed ? 1 : 0;
}

// $GPVTG fields: 1,2 course, T (true) | 3,4 course, M (magnetic) | 5,6 speed, N (knots) | 7,8
// speed, K (km/h) | 9 mode (NMEA 2.3).
enum VtgField { VTG_TRUE = 1, VTG_MAGNETIC = 3, VTG_KNOTS = 5, VTG_KMH = 7 };

void ParseVTG(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  float track = FieldBroken(VTG_TRUE) ? 0.0f : FieldFloat(n, VTG_TRUE);
  if (track > 0.05) fix->Heading = track;
  if (FieldGiven(n, VTG_MAGNETIC)) {
    fix->MagHeading = FieldFloat(n, VTG_MAGNETIC);
    fix->ValidFields |= FIX_MAG_HEADING;
    if (!(fix->ValidFields & FIX_MAG_VARIATION)) {
      fix->MagVariation = ToFloat(AngleDifference(fix->Heading, fix->MagHeading));
      fix->ValidFields |= FIX_MAG_VARIATION;
    }
  }
  float kmh = FieldBroken(VTG_KMH) ? 0.0f : FieldFloat(n, VTG_KMH);
  float knots = FieldBroken(VTG_KNOTS) ? 0.0f : FieldFloat(n, VTG_KNOTS);
  if (kmh > 0.001) fix->Speed = kmh;
  else if (knots > 0.001) fix->Speed = knots * kKmhPerKnot;
  // A speed field that breaks its rule, with no good one beside it, says nothing of the speed.
  bool speedBroken = FieldBroken(VTG_KMH) || FieldBroken(VTG_KNOTS);
  if (!speedBroken || FieldGiven(n, VTG_KMH) || FieldGiven(n, VTG_KNOTS)) fix->ValidFields |= FIX_SPEED;
  if (!FieldBroken(VTG_TRUE)) fix->ValidFields |= FIX_HEADING;
}

// $GPGSA fields: 1 selection A (automatic) or M (manual) | 2 fix 1 none, 2 2D, 3 3D | 3..14 the
// PRNs used | 15 PDOP | 16 HDOP | 17 VDOP | 18 system ID (NMEA 4.10).
enum GsaField { GSA_SELECTION = 1, GSA_FIX = 2, GSA_FIRST_PRN = 3, GSA_LAST_PRN = 14, GSA_PDOP = 15, GSA_HDOP = 16,
                GSA_VDOP = 17 };

void ParseGSA(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  char mode = FieldText(n, GSA_SELECTION)[0];
  fix->SelectionType = mode == 'A' ? 1 : (mode == 'M' ? 2 : 0);
  if (!FieldBroken(GSA_FIX)) {
    int m = FieldInt(n, GSA_FIX);
    fix->FixType = m ? static_cast<DWORD>(m - 1) : 0;
  }
  int slot = 0;
  for (int i = GSA_FIRST_PRN; i <= GSA_LAST_PRN; ++i) {
    int prn = FieldBroken(i) ? 0 : FieldInt(n, i);
    if (prn) fix->UsedPrns[slot++] = static_cast<DWORD>(prn);
  }
  ReadGsaDops(n, fix);
  fix->ValidFields |= FIX_USED_PRNS;
}

void ReadGsaDops(int count, FixRecord* fix) {
  const struct {
    int field;
    float* value;
    DWORD bit;
  } kDops[] = {{GSA_PDOP, &fix->Pdop, FIX_PDOP}, {GSA_HDOP, &fix->Hdop, FIX_HDOP}, {GSA_VDOP, &fix->Vdop, FIX_VDOP}};
  for (const auto& d : kDops) {
    if (FieldBroken(d.field)) continue;
    *d.value = FieldFloat(count, d.field);
    fix->ValidFields |= d.bit;
  }
}

// $GPGSV fields: 1 messages in the group | 2 this message's number | 3 satellites in view | then
// four satellites of 4 fields each (PRN, elevation degrees, azimuth degrees true, SNR dB) from 4 |
// last: signal ID (NMEA 4.10).
enum GsvField { GSV_TOTAL = 1, GSV_NUMBER = 2, GSV_IN_VIEW = 3, GSV_FIRST_SATELLITE = 4, GSV_SATELLITE_FIELDS = 4 };

void ParseGSV(const char* sentence, FixRecord* fix) {
  int n = SplitFields(sentence);
  // Receivers of NMEA 4.10 end the sentence with a one-field signal ID; it is not a satellite.
  if (n > GSV_FIRST_SATELLITE && (n - GSV_FIRST_SATELLITE) % GSV_SATELLITE_FIELDS == 1) --n;
  // A group whose count or numbering breaks its rule cannot be placed: the sentence says nothing.
  if (FieldBroken(GSV_TOTAL) || FieldBroken(GSV_NUMBER) || FieldBroken(GSV_IN_VIEW)) return;
  int64_t total = FieldInt(n, GSV_TOTAL), k = FieldInt(n, GSV_NUMBER), inView = FieldInt(n, GSV_IN_VIEW);
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
      bool broken = SatelliteFieldsBroken(field);
      int prn = broken ? 0 : FieldInt(n, field), el = FieldInt(n, field + 1), az = FieldInt(n, field + 2);
      if (!broken && (remaining <= free || (prn != 0 && (el != 0 || az != 0)))) {
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
