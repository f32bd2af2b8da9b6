// Labels and status lines of a fix record.
#include "status_text.h"
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include "support/angles.h"

namespace {

const char* const kOrientationLabels[] = {"UnKn", "RLand", "LLand", "Port", "IPort", "FDown", "Flat", "Err"};
const char* const kFixLabels[] = {"NO", "2d", "3d"};

// A value with `decimals` places, or "Err" when the record holds no number there.
const char* Number(double value, int decimals, char* out, size_t size) {
  if (!std::isfinite(value)) snprintf(out, size, "Err");
  else snprintf(out, size, "%.*f", decimals, value);
  return out;
}

// A status line, cut at its size when the numbers are wild.
__attribute__((format(printf, 2, 3))) void FormatLine(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(out, kStatusLineSize, format, args);
  va_end(args);
}

}  // namespace

void ClearStatusLines(StatusLines* status) {
  memset(status, 0, sizeof *status);
  status->compassReading = -1.0;
  status->gpsCourse = -1.0;
  status->orientation = 3;
}

const char* SourceLabel(BYTE kind, char out[kSourceLabelSize]) {
  if (kind == SOURCE_PLATFORM_API) snprintf(out, kSourceLabelSize, "Frx Msapi  ");
  else if (kind >= 2 && kind <= 10) snprintf(out, kSourceLabelSize, "Frx COM%d    ", kind - 1);
  else if (kind & 0x0F) snprintf(out, kSourceLabelSize, "Err");  // no such port
  else if (kind == SOURCE_LAST_KNOWN) snprintf(out, kSourceLabelSize, "LastKnown  ");
  else if (kind == SOURCE_CELL_OR_STORED) snprintf(out, kSourceLabelSize, "Cell Tower");
  else snprintf(out, kSourceLabelSize, "Un-Known    ");
  return out;
}

const char* OrientationLabel(DWORD code) { return code < 8 ? kOrientationLabels[code] : "Err"; }

const char* FixLabel(DWORD fixType) { return fixType < 3 ? kFixLabels[fixType] : "Err"; }

void DecodeStatusRecord(FixRecord* r, StatusLines* s) {
  if (r->ValidFields & FIX_COMPASS_IN_USE) {
    s->compassReading = r->MagHeading;
    s->haveCourse = !(r->ValidFields & FIX_COURSE_FROM_COMPASS);
    s->gpsCourse = s->haveCourse ? r->Heading : -1.0;
    r->Heading = static_cast<float>(AngleSum(r->MagHeading, -r->MagVariation));
  } else {
    s->compassReading = -1.0;
    s->gpsCourse = -1.0;
    s->haveCourse = 0;
  }
  SourceLabel(r->SourceKind, s->source);
  s->orientation = r->Orientation;
  char a[32], b[32], c[32];
  if (s->compassReading > -0.5)
    FormatLine(s->lines[LINE_COMPASS], "Compass: %s, Orient: %s",
             Number(s->compassReading, 1, a, sizeof a), OrientationLabel(r->Orientation));
  FormatLine(s->lines[LINE_HEADING], "Head: %s, dMag: %s", Number(r->Heading, 1, a, sizeof a),
           Number(r->MagVariation, 1, b, sizeof b));
  FormatLine(s->lines[LINE_LATITUDE], "Lat: %s %s", Number(std::fabs(r->Latitude), 6, a, sizeof a),
           r->Latitude < 0 ? "S" : "N");
  FormatLine(s->lines[LINE_LONGITUDE], "Lon: %s %s", Number(std::fabs(r->Longitude), 6, a, sizeof a),
           r->Longitude < 0 ? "W" : "E");
  FormatLine(s->lines[LINE_SPEED], "Speed: %s kph", Number(r->Speed, 1, a, sizeof a));
  FormatLine(s->lines[LINE_ALTITUDE], "Alt: %s Sep: %s", Number(r->AltitudeSeaLevel, 1, a, sizeof a),
           Number(r->Separation, 1, b, sizeof b));
  FormatLine(s->lines[LINE_PRECISION], "Dop: P:%s, H:%s, V:%s", Number(r->Pdop, 1, a, sizeof a),
           Number(r->Hdop, 1, b, sizeof b), Number(r->Vdop, 1, c, sizeof c));
  FormatLine(s->lines[LINE_FIX], "%s Fix on %u of %u Sats", FixLabel(r->FixType),
           static_cast<unsigned>(r->SatelliteCount), static_cast<unsigned>(r->SatellitesInView));
}

int StatusTextBlock(const StatusLines& s, const char* profileName, char* out, int size) {
  if (size <= 0) return 0;
  int n = snprintf(out, static_cast<size_t>(size), "%s    \n", s.source[0] ? s.source : DRIVER_VERSION_TEXT);
  auto append = [&](const char* before, const char* text, const char* after) {
    if (n >= 0 && n < size) n += snprintf(out + n, static_cast<size_t>(size - n), "%s%s%s", before, text, after);
  };
  if (profileName) append("Profile: ", profileName, "         \n");
  for (int i = 0; i < kStatusLines; ++i)
    if (s.lines[i][0]) append("", s.lines[i], i == LINE_FIX ? "       " : "       \n");
  return n < size ? n : size - 1;
}
