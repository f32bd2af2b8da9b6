// What each NMEA field may hold. One table serves the driver's reading of a receiver (a field
// that breaks its rule is absent) and the check of the sentences the driver writes.
#pragma once
#include <cstddef>

enum NmeaRule : int {
  RULE_ANY = 0,       // not checked
  RULE_TIME,          // hhmmss[.sss]: hh < 24, mm < 60, ss < 61
  RULE_DATE,          // ddmmyy, a day of the calendar
  RULE_LATITUDE,      // ddmm.mmmm, at most 90 degrees, minutes < 60
  RULE_LONGITUDE,     // dddmm.mmmm, at most 180 degrees, minutes < 60
  RULE_NORTH_SOUTH,   // N or S
  RULE_EAST_WEST,     // E or W
  RULE_SPEED_KNOTS,   // 0 to kMaxSpeedKnots
  RULE_SPEED_KMH,     // 0 to kMaxSpeedKmh
  RULE_ANGLE,         // course, track, azimuth in degrees: 0 to < 360
  RULE_VARIATION,     // magnetic variation: 0 to 180
  RULE_QUALITY,       // GGA fix quality 0 to 8
  RULE_SATELLITES,    // a count of satellites: 0 to 99
  RULE_DOP,           // > 0 (a written sentence may say 0: none known), at most kMaxDop
  RULE_ALTITUDE,      // metres above sea level, kLowestAltitude to kHighestAltitude
  RULE_SEPARATION,    // geoid separation, metres: within +-kMaxSeparation
  RULE_GSA_MODE,      // 1 no fix, 2 2D, 3 3D
  RULE_SATELLITE_ID,  // 1 to 999
  RULE_MESSAGES,      // GSV messages in a group and this message's number: 1 to 9
  RULE_ELEVATION,     // 0 to 90 degrees
  RULE_AZIMUTH,       // 0 to 359 degrees
  RULE_SNR,           // 0 to 99 dB
  RULE_DAY,           // ZDA 1 to 31
  RULE_MONTH,         // ZDA 1 to 12
  RULE_YEAR,          // ZDA, four digits: 1980 to 2200
  RULE_COMPASS,       // the driver's own compass fields: -1 (none) or 0 to < 360
};

constexpr double kMaxSpeedKmh = 2000;  // above any vehicle a receiver is sold for
constexpr double kMaxSpeedKnots = kMaxSpeedKmh / 1.852;
constexpr double kMaxDop = 999.9;
constexpr double kLowestAltitude = -1000;    // below the deepest dry land, with margin
constexpr double kHighestAltitude = 100000;  // the height of stratospheric balloons, with margin
constexpr double kMaxSeparation = 200;       // the geoid stays within about -107 to +86 m

// A plain decimal number: an optional sign, digits, an optional point and digits. No "nan",
// "inf", hex or exponent, nothing after it. Returns 1 with the value, 0 for anything else.
int NmeaDecimal(const char* text, double* value);
// The rule of field `index` of a sentence whose three-letter type is `type` ("GGA", "GSV"...) and
// which has `count` fields; RULE_ANY for fields and types without one.
int NmeaRuleOf(const char* type, int index, int count);
// 1 when `text` breaks `rule`. An empty field breaks none: it is the receiver's own "unknown".
// `written`: the rule as the driver's own sentences keep it (a DOP of 0 means none known).
int NmeaFieldBreaks(int rule, const char* text, bool written);
// The type of a sentence from its address ("$GPGGA" -> "GGA"), into `out` (4 bytes); 0 when the
// address is not "$" and five characters.
int NmeaTypeOf(const char* address, char* out);
const char* NmeaRuleName(int rule);
