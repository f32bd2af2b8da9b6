// The sentences printed for a FixRecord. Numbers are printed as the record holds them when they
// are within their field's rule (support/nmea_rules.h) and its NMEA width; any other value is an
// empty field, so that a batch always fits its buffer and never says what it cannot stand behind.
#include "support/units.h"
#include "support/nmea_writer.h"
#include "support/nmea_rules.h"
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include "support/angles.h"
#include "support/clock.h"

namespace {

// A number as a field, to one decimal. One the sentence cannot stand behind (not a number,
// infinite, beyond the field's six digits: a receiver's absurd value) is an empty field, never
// "nan" and never a plausible stand-in.
struct Decimal {
  char text[16];
};
Decimal Num(double v, double low = -999999.9, double high = 999999.9) {
  Decimal d{};
  if (std::isfinite(v) && v <= high && v >= low) snprintf(d.text, sizeof d.text, "%.1f", v);
  return d;
}

// An angle of 0 to < 360 degrees; 359.96 rounds to 0.0, never to 360.0.
Decimal Angle(double v) {
  if (!(v >= 0 && v < 360)) return Decimal{};
  return Num(v >= 359.95 ? 0.0 : v);
}

Decimal Dop(double v) { return Num(v, 0, kMaxDop); }

// A count or satellite value within `limit`, zero-padded to `width` digits; empty beyond it.
struct Digits {
  char text[8];
};
Digits Whole(DWORD v, DWORD limit, int width) {
  Digits d{};
  if (v <= limit) snprintf(d.text, sizeof d.text, "%.*u", width, static_cast<unsigned>(v));
  return d;
}

double Clamp(double v, double limit) {
  if (std::isnan(v)) return 0;
  return v > limit ? limit : (v < -limit ? -limit : v);
}

double OutputCourse(const FixRecord* fix) {
  if (fix->ValidFields & FIX_COURSE_FROM_COMPASS) return AngleSum(fix->MagHeading, -fix->MagVariation);
  return fix->Heading;
}

// Appends formatted text at the end of `out`, never past `size`.
__attribute__((format(printf, 3, 4))) void Append(char* out, size_t size, const char* format, ...) {
  size_t len = strnlen(out, size);
  if (len + 1 >= size) return;
  va_list args;
  va_start(args, format);
  vsnprintf(out + len, size - len, format, args);
  va_end(args);
}

int Finish(char* out, size_t size) {
  AppendChecksum(out, size);
  return static_cast<int>(strnlen(out, size));
}

}  // namespace

double DegreesToDdmm(double degrees) {
  double x = std::fabs(degrees);
  double r = std::floor(x) * 100 + std::fmod(x, 1.0) * 60;
  return degrees < 0 ? -r : r;
}

namespace {

// "ddmm.mmmmmm,N" for |degrees| with `width` characters before the hemisphere (16 bytes); minutes that round up to 60 carry into
// the degrees (59.9999996' would print as 60.000000).
void FormatDdmm(double degrees, int width, char hemisphere, char* out) {
  double x = std::fabs(degrees);
  double whole = std::floor(x);
  double minutes = std::round((x - whole) * 60 * 1e6) / 1e6;
  if (minutes >= 60) {
    whole += 1;
    minutes = 0;
  }
  snprintf(out, 16, "%0*.6f,%c", width, whole * 100 + minutes, hemisphere);
}

}  // namespace

// A non-finite coordinate (no position at all) is an empty field.
const char* FormatLatitude(double latitude, char* out) {
  if (!std::isfinite(latitude)) return strcpy(out, ",");
  latitude = Clamp(latitude, 90);
  FormatDdmm(latitude, 11, latitude < 0 ? 'S' : 'N', out);
  return out;
}

const char* FormatLongitude(double longitude, char* out) {
  if (!std::isfinite(longitude)) return strcpy(out, ",");
  longitude = Clamp(longitude, 180);
  FormatDdmm(longitude, 12, longitude < 0 ? 'W' : 'E', out);
  return out;
}

// A position that is not a receiver's fix (the last good fix carried past its window, the stored
// position, the cell tower's) is an estimate: GGA quality 6, mode E, and no 3D fix claimed without
// satellites, so that a reader shows an estimate and not a fix.
static bool Estimated(const FixRecord* fix) {
  return fix->FixType != 0 && (fix->SourceKind == SOURCE_LAST_KNOWN || fix->SourceKind == SOURCE_CELL_OR_STORED);
}

// A record without a fix that holds no position either (no fix yet, none stored) prints empty
// position fields, as a receiver without a fix does: zeros would be read as a place at 0 N 0 E.
static bool HasPosition(const FixRecord* fix) {
  return fix->FixQuality != 0 || (fix->ValidFields & (FIX_LATITUDE | FIX_LONGITUDE)) == (FIX_LATITUDE | FIX_LONGITUDE);
}

static const char* PositionLatitude(const FixRecord* fix, char* out) {
  return HasPosition(fix) ? FormatLatitude(fix->Latitude, out) : strcpy(out, ",");
}

static const char* PositionLongitude(const FixRecord* fix, char* out) {
  return HasPosition(fix) ? FormatLongitude(fix->Longitude, out) : strcpy(out, ",");
}

int AppendChecksum(char* text, size_t size) {
  size_t len = strnlen(text, size);
  if (len == 0 || len + 6 > size) return 0;
  unsigned char c = 0;
  for (size_t i = 1; i < len; ++i) c ^= static_cast<unsigned char>(text[i]);
  snprintf(text + len, size - len, "*%2.2X\r\n", c);
  return 5;
}

// $GPRMC: 1 UTC time hhmmss.sss | 2 status A (valid) or V | 3,4 latitude ddmm.mmmmmm, N/S |
// 5,6 longitude dddmm.mmmmmm, E/W | 7 speed over ground, knots | 8 course, degrees true (the
// compass's, corrected, when it gives the course) | 9 date ddmmyy | 10,11 magnetic variation,
// degrees, E/W (empty when unknown) | 12 mode A (autonomous), E (estimated) or N (no fix).
int MakeGPRMC(const FixRecord* fix, char* out, size_t size) {
  char time[16], date[16], lat[16], lon[16], variation[32];
  TimeField(&fix->UtcTime, time);
  DateField(&fix->UtcTime, date);
  if (fix->ValidFields & FIX_MAG_VARIATION)
    snprintf(variation, sizeof variation, "%s,%s", Num(std::fabs(fix->MagVariation), 0, 180).text,
             fix->MagVariation < 0 ? "E" : "W");
  else
    snprintf(variation, sizeof variation, ",");
  const char* status = fix->FixType ? "A" : "V";
  float knots = fix->Speed * kKnotsPerKmhSingle;
  snprintf(out, size, "$GPRMC,%s,%s,%s,%s,%s,%s,%s,%s,%s", time, status, PositionLatitude(fix, lat),
           PositionLongitude(fix, lon), Num(knots, 0, kMaxSpeedKnots).text, Angle(OutputCourse(fix)).text,
           date, variation,
           Estimated(fix) ? "E" : (fix->FixType ? "A" : "N"));
  return Finish(out, size);
}

// $GPVTG: 1,2 course, T (true) | 3,4 course, M (magnetic) | 5,6 speed, N (knots) | 7,8 speed,
// K (km/h) | 9 mode A, or E for an estimate.
int MakeGPVTG(const FixRecord* fix, char* out, size_t size) {
  double course = OutputCourse(fix);
  double magnetic = (fix->ValidFields & FIX_MAG_HEADING) ? fix->MagHeading : AngleSum(course, fix->MagVariation);
  snprintf(out, size, "$GPVTG,%s,T,%s,M,%s,N,%s,K,%s", Angle(course).text, Angle(magnetic).text,
           Num(fix->Speed * kKnotsPerKmh, 0, kMaxSpeedKnots).text, Num(fix->Speed, 0, kMaxSpeedKmh).text,
           Estimated(fix) ? "E" : "A");
  return Finish(out, size);
}

// $GPGGA: 1 UTC time | 2,3 latitude, N/S | 4,5 longitude, E/W | 6 fix quality (0 none, 1 GPS,
// 2 DGPS, 6 estimated) | 7 satellites used, two digits | 8 HDOP | 9,10 altitude above sea level, M | 11,12
// geoid separation, M | 13 DGPS age (empty) | 14 DGPS station (empty).
int MakeGPGGA(const FixRecord* fix, char* out, size_t size) {
  char time[16], lat[16], lon[16];
  TimeField(&fix->UtcTime, time);
  snprintf(out, size, "$GPGGA,%s,%s,%s,%s,%s,%s,%s,M,%s,M,,", time, PositionLatitude(fix, lat),
           PositionLongitude(fix, lon), Whole(Estimated(fix) && fix->FixQuality ? 6 : fix->FixQuality, 8, 1).text,
           Whole(fix->SatelliteCount, 99, 2).text, Dop(fix->Hdop).text,
           Num(fix->AltitudeSeaLevel, kLowestAltitude, kHighestAltitude).text,
           Num(fix->Separation, -kMaxSeparation, kMaxSeparation).text);
  return Finish(out, size);
}

// $GPGSA: 1 selection A (automatic) | 2 fix 1 none, 2 2D, 3 3D (1 for an estimate without a
// satellite in use) | 3-14 PRNs used, two digits,
// empty slots empty | 15 PDOP | 16 HDOP | 17 VDOP.
int MakeGPGSA(const FixRecord* fix, char* out, size_t size) {
  DWORD mode = Estimated(fix) && fix->SatelliteCount == 0 ? 0 : fix->FixType;
  snprintf(out, size, "$GPGSA,A,%s,", mode <= 2 ? Whole(mode + 1, 3, 1).text : "");
  for (int i = 0; i < kMaxSatellites; ++i) {
    if (fix->UsedPrns[i]) Append(out, size, "%s", Whole(fix->UsedPrns[i], 999, 2).text);
    Append(out, size, ",");
  }
  Append(out, size, "%s,%s,%s", Dop(fix->Pdop).text, Dop(fix->Hdop).text, Dop(fix->Vdop).text);
  return Finish(out, size);
}

// $PGRMT (the driver's own status): 1 source label | 2 compass reading, degrees (-1.0 none) |
// 3 GPS course beside it (-1.0 none or the compass's) | 4 orientation code | 5 profile number |
// 6-8 empty.
int MakePGRMT(const FixRecord* fix, char* out, size_t size) {
  bool compass = fix->ValidFields & FIX_COMPASS_IN_USE;
  double compassValue = compass ? fix->MagHeading : -1.0;
  double courseValue = compass && !(fix->ValidFields & FIX_COURSE_FROM_COMPASS) ? fix->Heading : -1.0;
  char label[16];
  BYTE kind = fix->SourceKind;
  if (kind == SOURCE_PLATFORM_API) snprintf(label, sizeof label, "Frx Msapi");
  else if (kind & 0x0F) snprintf(label, sizeof label, "Frx COM%d", kind - 1);
  else if (kind == SOURCE_LAST_KNOWN) snprintf(label, sizeof label, "LastKnown");
  else if (kind == SOURCE_CELL_OR_STORED) snprintf(label, sizeof label, "Cell Tower");
  else snprintf(label, sizeof label, "UnKnown");
  auto compassText = [](double v) { return v == -1.0 ? Num(v) : Angle(v); };
  snprintf(out, size, "$PGRMT,%s,%s,%s,%u,%u,,,", label, compassText(compassValue).text, compassText(courseValue).text,
           static_cast<unsigned>(fix->Orientation), static_cast<unsigned>(fix->ProfileNumber));
  return Finish(out, size);
}

// $GPGSV: 1 messages | 2 this message's number | 3 satellites in view | then four times:
// PRN, elevation (degrees, two digits), azimuth (degrees true, three digits), SNR (dB, two
// digits); an empty slot is four empty fields.
int MakeGPGSV(int page, const FixRecord* fix, char* out, size_t size) {
  if (size) out[0] = 0;
  int n = fix->SatellitesInView > 99 ? 99 : static_cast<int>(fix->SatellitesInView);
  if (page < 0 || page > 2 || n <= 4 * page) return 0;
  // At most three messages go out (twelve slots); the count in view stays the true one.
  int pages = (n + 3) / 4 > 3 ? 3 : (n + 3) / 4;
  snprintf(out, size, "$GPGSV,%d,%d,%d", pages, page + 1, n);
  for (int s = 4 * page; s < 4 * page + 4; ++s) {
    if (fix->InViewPrns[s])
      Append(out, size, ",%s,%s,%s,%s", Whole(fix->InViewPrns[s], 999, 2).text, Whole(fix->InViewElevation[s], 90, 2).text,
             Whole(fix->InViewAzimuth[s], 359, 3).text, Whole(fix->InViewSnr[s], 99, 2).text);
    else
      Append(out, size, ",,,,");
  }
  return Finish(out, size);
}

int MakeNmeaBatch(const FixRecord* fix, char* out, size_t size) {
  if (!size) return 0;
  out[0] = 0;
  size_t len = 0;
  auto step = [&](int n) { len += static_cast<size_t>(n); };
  step(MakeGPRMC(fix, out + len, size - len));
  step(MakeGPVTG(fix, out + len, size - len));
  step(MakeGPGGA(fix, out + len, size - len));
  step(MakeGPGSA(fix, out + len, size - len));
  step(MakePGRMT(fix, out + len, size - len));
  for (int page = 0; page < 3; ++page) step(MakeGPGSV(page, fix, out + len, size - len));
  return static_cast<int>(len);
}
