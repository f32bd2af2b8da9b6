// The rules of the NMEA fields the driver reads and writes.
#include "support/nmea_rules.h"
#include <cmath>
#include <cstring>

int NmeaDecimal(const char* text, double* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  int digits = 0, point = 0;
  for (; *p; ++p) {
    if (*p >= '0' && *p <= '9') ++digits;
    else if (*p == '.' && !point) point = 1;
    else return 0;
  }
  if (!digits) return 0;
  double v = 0, scale = 1;
  bool fraction = false;
  for (p = text + (text[0] == '+' || text[0] == '-'); *p; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    if (fraction) v += (*p - '0') * (scale *= 0.1);
    else v = v * 10 + (*p - '0');
  }
  if (!std::isfinite(v)) return 0;  // hundreds of digits
  *value = text[0] == '-' ? -v : v;
  return 1;
}

namespace {

struct FieldRule {
  char type[4];
  int index;
  int rule;
};

// Fields the driver reads (and writes) that carry a number or a letter with a meaning.
const FieldRule kRules[] = {
    {"GGA", 1, RULE_TIME},         {"GGA", 2, RULE_LATITUDE},     {"GGA", 3, RULE_NORTH_SOUTH},
    {"GGA", 4, RULE_LONGITUDE},    {"GGA", 5, RULE_EAST_WEST},    {"GGA", 6, RULE_QUALITY},
    {"GGA", 7, RULE_SATELLITES},   {"GGA", 8, RULE_DOP},          {"GGA", 9, RULE_ALTITUDE},
    {"GGA", 11, RULE_SEPARATION},  {"RMC", 1, RULE_TIME},         {"RMC", 3, RULE_LATITUDE},
    {"RMC", 4, RULE_NORTH_SOUTH},  {"RMC", 5, RULE_LONGITUDE},    {"RMC", 6, RULE_EAST_WEST},
    {"RMC", 7, RULE_SPEED_KNOTS},  {"RMC", 8, RULE_ANGLE},        {"RMC", 9, RULE_DATE},
    {"RMC", 10, RULE_VARIATION},   {"RMC", 11, RULE_EAST_WEST},   {"VTG", 1, RULE_ANGLE},
    {"VTG", 3, RULE_ANGLE},        {"VTG", 5, RULE_SPEED_KNOTS},  {"VTG", 7, RULE_SPEED_KMH},
    {"GSA", 2, RULE_GSA_MODE},     {"GSA", 15, RULE_DOP},         {"GSA", 16, RULE_DOP},
    {"GSA", 17, RULE_DOP},         {"GSV", 1, RULE_MESSAGES},     {"GSV", 2, RULE_MESSAGES},
    {"GSV", 3, RULE_SATELLITES},   {"GNS", 1, RULE_TIME},         {"GNS", 2, RULE_LATITUDE},
    {"GNS", 3, RULE_NORTH_SOUTH},  {"GNS", 4, RULE_LONGITUDE},    {"GNS", 5, RULE_EAST_WEST},
    {"GNS", 7, RULE_SATELLITES},   {"GNS", 8, RULE_DOP},          {"GNS", 9, RULE_ALTITUDE},
    {"GNS", 10, RULE_SEPARATION},  {"GLL", 1, RULE_LATITUDE},     {"GLL", 2, RULE_NORTH_SOUTH},
    {"GLL", 3, RULE_LONGITUDE},    {"GLL", 4, RULE_EAST_WEST},    {"GLL", 5, RULE_TIME},
    {"ZDA", 1, RULE_TIME},         {"ZDA", 2, RULE_DAY},          {"ZDA", 3, RULE_MONTH},
    {"ZDA", 4, RULE_YEAR},         {"RMT", 2, RULE_COMPASS},      {"RMT", 3, RULE_COMPASS},
};

// GSV from field 4: four fields per satellite. A last odd field is NMEA 4.10's signal id.
constexpr int kGsvFirstSatellite = 4;
const int kGsvSatelliteRules[4] = {RULE_SATELLITE_ID, RULE_ELEVATION, RULE_AZIMUTH, RULE_SNR};
// GSA fields 3 to 14: the satellites used.
constexpr int kGsaFirstUsed = 3, kGsaLastUsed = 14;

bool InRange(double v, double low, double high) { return v >= low && v <= high; }

// ddmm.mmmm (or dddmm.mmmm): whole degrees at most `maxDegrees`, minutes below 60.
bool Coordinate(double v, double maxDegrees) {
  if (v < 0) return false;
  double degrees = std::floor(v / 100);
  double minutes = v - degrees * 100;
  return minutes < 60 && degrees + minutes / 60 <= maxDegrees;
}

bool TimeOfDay(double v) {
  if (!InRange(v, 0, 240000 - 1e-9)) return false;
  long whole = static_cast<long>(v);
  return whole / 10000 < 24 && whole / 100 % 100 < 60 && whole % 100 < 61;
}

bool CalendarDate(const char* text) {
  if (strlen(text) != 6) return false;
  for (int i = 0; i < 6; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  int day = (text[0] - '0') * 10 + text[1] - '0', month = (text[2] - '0') * 10 + text[3] - '0';
  int year = 2000 + (text[4] - '0') * 10 + text[5] - '0';
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return !(month == 2 && day == 29 && !leap);
}

}  // namespace

int NmeaRuleOf(const char* type, int index, int count) {
  if (strcmp(type, "GSV") == 0 && index >= kGsvFirstSatellite) {
    if ((count - kGsvFirstSatellite) % 4 == 1 && index == count - 1) return RULE_ANY;  // signal id
    return kGsvSatelliteRules[(index - kGsvFirstSatellite) % 4];
  }
  if (strcmp(type, "GSA") == 0 && index >= kGsaFirstUsed && index <= kGsaLastUsed) return RULE_SATELLITE_ID;
  for (const FieldRule& r : kRules)
    if (r.index == index && strcmp(r.type, type) == 0) return r.rule;
  return RULE_ANY;
}

int NmeaFieldBreaks(int rule, const char* text, bool written) {
  if (rule == RULE_ANY || !text[0]) return 0;
  switch (rule) {
    case RULE_NORTH_SOUTH: return strcmp(text, "N") != 0 && strcmp(text, "S") != 0;
    case RULE_EAST_WEST: return strcmp(text, "E") != 0 && strcmp(text, "W") != 0;
    case RULE_DATE: return !CalendarDate(text);
    default: break;
  }
  double v;
  if (!NmeaDecimal(text, &v)) return 1;
  switch (rule) {
    case RULE_TIME: return !TimeOfDay(v);
    case RULE_LATITUDE: return !Coordinate(v, 90);
    case RULE_LONGITUDE: return !Coordinate(v, 180);
    case RULE_SPEED_KNOTS: return !InRange(v, 0, kMaxSpeedKnots);
    case RULE_SPEED_KMH: return !InRange(v, 0, kMaxSpeedKmh);
    case RULE_ANGLE: return !(v >= 0 && v < 360);
    case RULE_VARIATION: return !InRange(v, 0, 180);
    case RULE_QUALITY: return !InRange(v, 0, 8);
    case RULE_SATELLITES: return !InRange(v, 0, 99);
    case RULE_DOP: return !(written ? v >= 0 : v > 0) || v > kMaxDop;
    case RULE_ALTITUDE: return !InRange(v, kLowestAltitude, kHighestAltitude);
    case RULE_SEPARATION: return !InRange(v, -kMaxSeparation, kMaxSeparation);
    case RULE_GSA_MODE: return !InRange(v, 1, 3);
    case RULE_SATELLITE_ID: return !InRange(v, 1, 999);
    case RULE_MESSAGES: return !InRange(v, 1, 9);
    case RULE_ELEVATION: return !InRange(v, 0, 90);
    case RULE_AZIMUTH: return !InRange(v, 0, 359);
    case RULE_SNR: return !InRange(v, 0, 99);
    case RULE_DAY: return !InRange(v, 1, 31);
    case RULE_MONTH: return !InRange(v, 1, 12);
    case RULE_YEAR: return !InRange(v, 1980, 2200);
    case RULE_COMPASS: return !(v == -1 || (v >= 0 && v < 360));
    default: return 0;
  }
}

int NmeaTypeOf(const char* address, char* out) {
  out[0] = 0;
  if (address[0] != '$' || strlen(address) != 6) return 0;
  memcpy(out, address + 3, 3);
  out[3] = 0;
  return 1;
}

const char* NmeaRuleName(int rule) {
  static const char* const kNames[] = {
      "any",        "time of day", "date",     "latitude",  "longitude", "N or S",    "E or W",
      "speed",      "speed",       "angle",    "variation", "quality",   "count",     "DOP",
      "altitude",   "separation",  "fix mode", "satellite", "messages",  "elevation", "azimuth",
      "SNR",        "day",         "month",    "year",      "compass"};
  return rule >= 0 && rule < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[rule] : "?";
}
