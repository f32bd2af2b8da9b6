// Sentence classification, the field table and the field accessors.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include "port_driver/nmea_parser.h"

// Per thread: the reader and the scan thread parse at the same time (a port under test while
// another is current), and neither may see the other's fields.
static thread_local char g_fields[kMaxFields][kFieldSize];

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
  return count;
}

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
  return strtod(g_fields[index], nullptr);
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
