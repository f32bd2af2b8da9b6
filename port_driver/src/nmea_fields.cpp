// Sentence classification, the field table and the field accessors.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include "port_driver/nmea_parser.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/nmea_rules.h"

// Per thread: the reader and the scan thread parse at the same time (a port under test while
// another is current), and neither may see the other's fields.
static thread_local char g_fields[kMaxFields][kFieldSize];
// The fields of the last split that break their rule: a bit per field.
static thread_local unsigned g_broken;

namespace {

// One log line a second at most for refused fields: a receiver talking junk would fill the log.
constexpr DWORD kRefusalLogMs = 1000;
volatile LONG g_lastRefusalLog;

void CheckRules(int count) {
  g_broken = 0;
  char type[4];
  if (!NmeaTypeOf(g_fields[0], type)) return;
  for (int i = 1; i < count; ++i) {
    int rule = NmeaRuleOf(type, i, count);
    if (!NmeaFieldBreaks(rule, g_fields[i], false)) continue;
    g_broken |= 1u << i;
    LONG now = static_cast<LONG>(GetTickCount());
    LONG last = __atomic_load_n(&g_lastRefusalLog, __ATOMIC_RELAXED);
    if (now - last >= static_cast<LONG>(kRefusalLogMs) && InterlockedCompareExchange(&g_lastRefusalLog, now, last) == last)
      LogPrintf(LOG_VERBOSE, "Refused %s field %d (%s): '%s'\r\n", g_fields[0], i, NmeaRuleName(rule), g_fields[i]);
  }
}

}  // namespace

int GetSentenceType(const char* s) {
  static const struct {
    const char* tag;
    int code;
  } kTypes[] = {{"$GPGSV", NMEA_GSV}, {"$GPGGA", NMEA_GGA}, {"$GPVTG", NMEA_VTG},
                {"$GPRMC", NMEA_RMC}, {"$GPGSA", NMEA_GSA}, {"$PGRMT", NMEA_PGRMT}};
  for (const auto& t : kTypes)
    if (strncmp(s, t.tag, 6) == 0) return t.code;
  return NMEA_OTHER;
}

int SplitFields(const char* s) {
  memset(g_fields, 0, sizeof g_fields);
  if (!s || !*s) return 0;
  int count = 0;
  while (count < kMaxFields) {
    int n = 0;
    while (*s && *s != '\r' && *s != ',' && *s != '*') {
      if (n < kFieldSize - 1) g_fields[count][n++] = *s;  // longer fields are cut to 15
      ++s;
    }
    ++count;
    if (*s != ',') break;
    ++s;
    if (!*s) break;  // a final ',' adds no empty field
  }
  CheckRules(count);
  return count;
}

bool FieldBroken(int index) { return index > 0 && index < kMaxFields && (g_broken >> index & 1u); }

bool PositionFieldsValid(int latIndex, int lonIndex) {
  return !FieldBroken(latIndex) && !FieldBroken(latIndex + 1) && !FieldBroken(lonIndex) && !FieldBroken(lonIndex + 1);
}

bool SatelliteFieldsBroken(int field) {
  return FieldBroken(field) || FieldBroken(field + 1) || FieldBroken(field + 2) || FieldBroken(field + 3);
}

bool FieldGiven(int count, int index) { return index < count && g_fields[index][0] && !FieldBroken(index); }

int FieldInt(int count, int index) {
  if (index < 0 || index >= count) return 0;
  // As atoi, but a number too large for an int saturates instead of being undefined.
  long v = strtol(g_fields[index], nullptr, 10);
  if (v > 2147483647L) return 2147483647;
  if (v < -2147483647L - 1) return -2147483647 - 1;
  return static_cast<int>(v);
}

double FieldDouble(int count, int index) {
  if (index < 0 || index >= count) return 0.0;
  double v = strtod(g_fields[index], nullptr);
  return std::isfinite(v) ? v : 0.0;  // "nan" and "inf" are no numbers of a receiver
}

float FieldFloat(int count, int index) {
  double v = FieldDouble(count, index);
  // Out of the float range the result is the infinity of that sign, as the hardware gives.
  if (v > 3.4028234663852886e38) return HUGE_VALF;
  if (v < -3.4028234663852886e38) return -HUGE_VALF;
  return static_cast<float>(v);
}

const char* FieldText(int count, int index) {
  if (index < 0 || index >= count) return "";
  return g_fields[index];
}

double DdmmToDegrees(double v) {
  double d = std::floor(v * 0.01);
  return (v - d * 100) * 0.016666666666666666 + d;
}
