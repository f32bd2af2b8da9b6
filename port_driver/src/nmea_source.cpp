// Receivers of every kind: any talker, several GSA and GSV per cycle, GNS and GLL, and receivers
// that send GSA rarely or never. See nmea_source.h.
#include "port_driver/nmea_source.h"
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include "port_driver/nmea_parser.h"
#include "support/clock.h"

namespace {

// Talkers, in the order of the sentence bits. $GN is the combined solution of several systems;
// any other talker (II, IN, ...) is read as one system of unknown numbering.
const char kTalkers[][3] = {"GP", "GN", "GL", "GA", "GB", "BD", "GQ", "QZ", "GI"};
constexpr int kTalkerCount = 9;
constexpr int TALKER_GP = 0, TALKER_GN = 1, TALKER_OTHER = 9;

enum Type { GGA, RMC, GSA, GSV, VTG, GLL, GNS, ZDA, TYPE_COUNT };
static_assert(TYPE_COUNT == kNmeaTypes);
const char kTypes[][4] = {"GGA", "RMC", "GSA", "GSV", "VTG", "GLL", "GNS", "ZDA"};
// Two sentences of one cycle carry times this close (ms): receivers round them differently.
constexpr double kSameTimeMs = 20;

// Satellite systems as NMEA 4.10 numbers them (GSA's system id).
enum System { SYS_NONE = 0, SYS_GPS = 1, SYS_GLONASS = 2, SYS_GALILEO = 3, SYS_BEIDOU = 4, SYS_QZSS = 5, SYS_NAVIC = 6 };

int TalkerOf(const char* line) {
  if (line[0] != '$' || !line[1] || !line[2]) return -1;
  for (int t = 0; t < kTalkerCount; ++t)
    if (line[1] == kTalkers[t][0] && line[2] == kTalkers[t][1]) return t;
  bool letters = line[1] >= 'A' && line[1] <= 'Z' && line[2] >= 'A' && line[2] <= 'Z';
  return letters && line[1] != 'P' ? TALKER_OTHER : -1;  // $P...: proprietary
}

int TypeOf(const char* line) {
  for (int t = 0; t < TYPE_COUNT; ++t)
    if (strncmp(line + 3, kTypes[t], 3) == 0 && (line[6] == ',' || line[6] == '*')) return t;
  return -1;
}

bool Seen(const NmeaSource* s, int talker, int type) { return s->seen[type] & (1u << talker); }

System SystemOfTalker(int talker) {
  switch (talker) {
    case 0: return SYS_GPS;
    case 2: return SYS_GLONASS;
    case 3: return SYS_GALILEO;
    case 4:
    case 5: return SYS_BEIDOU;
    case 6:
    case 7: return SYS_QZSS;
    case 8: return SYS_NAVIC;
    default: return SYS_NONE;  // $GN: the numbers say it, or the GSA's system id
  }
}

// One number per satellite over every system, as the satellite numbers of a $GP talker run
// (GPS 1-32, SBAS 33-64, GLONASS 65-96, QZSS 193-202) and beyond them Galileo 301-, BeiDou 401-,
// NavIC 801-; the output then never gives two satellites one number.
DWORD SkyNumber(System system, int prn) {
  if (prn <= 0) return 0;
  switch (system) {
    case SYS_GLONASS: return static_cast<DWORD>(prn <= 32 ? prn + 64 : prn);
    case SYS_GALILEO: return static_cast<DWORD>(prn <= 36 ? prn + 300 : prn);
    case SYS_BEIDOU: return static_cast<DWORD>(prn <= 63 ? prn + 400 : prn);
    case SYS_QZSS: return static_cast<DWORD>(prn <= 10 ? prn + 192 : prn);
    case SYS_NAVIC: return static_cast<DWORD>(prn <= 14 ? prn + 800 : prn);
    default: return static_cast<DWORD>(prn);
  }
}

// The text of field `index` of a sentence (up to 15 characters).
void FieldOf(const char* line, int index, char* out) {
  const char* p = line;
  for (int i = 0; i < index && p; ++i) {
    p = strchr(p, ',');
    if (p) ++p;
  }
  size_t n = 0;
  if (p)
    for (; *p && *p != ',' && *p != '*' && *p != '\r' && *p != '\n' && n < 15; ++p) out[n++] = *p;
  out[n] = 0;
}

// $xxGSA: 1 selection A (automatic) or M | 2 fix 1 none, 2 2D, 3 3D | 3-14 satellites used |
// 15 PDOP | 16 HDOP | 17 VDOP | 18 system id (NMEA 4.10).
enum GsaField { GSA_SELECTION = 1, GSA_FIX = 2, GSA_FIRST_USED = 3, GSA_LAST_USED = 14, GSA_PDOP = 15,
                GSA_HDOP = 16, GSA_VDOP = 17, GSA_SYSTEM = 18 };
// $xxGSV: 1 messages | 2 this message | 3 satellites in view | from 4, four per satellite: number,
// elevation (degrees), azimuth (degrees true), SNR (dB) | a last odd field: signal id (NMEA 4.10).
enum GsvField { GSV_MESSAGES = 1, GSV_MESSAGE = 2, GSV_FIRST_SATELLITE = 4, GSV_PER_SATELLITE = 4 };
// $xxGNS: 1 UTC time | 2,3 latitude, N/S | 4,5 longitude, E/W | 6 mode, one character per system
// (N none, A autonomous, D differential, P precise, R RTK, F float RTK, E estimated) | 7
// satellites used | 8 HDOP | 9 altitude above sea level, m | 10 geoid separation, m.
enum GnsField { GNS_TIME = 1, GNS_LAT = 2, GNS_LON = 4, GNS_MODE = 6, GNS_SATELLITES = 7, GNS_HDOP = 8,
                GNS_ALTITUDE = 9, GNS_SEPARATION = 10 };
// $xxGLL: 1,2 latitude, N/S | 3,4 longitude, E/W | 5 UTC time | 6 status A (valid) or V.
enum GllField { GLL_LAT = 1, GLL_LON = 3, GLL_TIME = 5, GLL_STATUS = 6 };
// $xxZDA: 1 UTC time | 2 day | 3 month | 4 year, four digits | 5,6 local zone hours, minutes.
enum ZdaField { ZDA_TIME = 1, ZDA_DAY = 2, ZDA_MONTH = 3, ZDA_YEAR = 4 };
// What this reader looks at itself in the sentences the $GP parser reads: $xxGGA 1 UTC time, 9
// altitude above sea level (m); $xxRMC 1 UTC time, 12 mode (NMEA 2.3).
enum SolutionField { GGA_RMC_TIME = 1, GGA_ALTITUDE = 9, RMC_MODE = 12 };

// The field holding the time of a time-tagged sentence, or 0 for other sentences.
int TimeField(int type) {
  switch (type) {
    case GGA:
    case RMC: return GGA_RMC_TIME;
    case GNS: return GNS_TIME;
    case GLL: return GLL_TIME;
    default: return 0;
  }
}

void AddUsed(NmeaSource* s, DWORD number) {
  if (!number) return;
  for (int i = 0; i < s->usedCount; ++i)
    if (s->used[i] == number) return;
  if (s->usedCount < kMaxSky) s->used[s->usedCount++] = number;
}

bool IsUsed(const NmeaSource* s, DWORD number) {
  for (int i = 0; i < s->usedCount; ++i)
    if (s->used[i] == number) return true;
  return false;
}

// A satellite of a GSV; a repeat (another signal of the same satellite) keeps the stronger SNR.
void AddSky(NmeaSource* s, DWORD number, DWORD elevation, DWORD azimuth, DWORD snr) {
  if (!number) return;
  for (int i = 0; i < s->skyCount; ++i) {
    if (s->sky[i].prn != number) continue;
    if (snr > s->sky[i].snr) s->sky[i].snr = snr;
    return;
  }
  if (s->skyCount < kMaxSky) s->sky[s->skyCount++] = {number, elevation, azimuth, snr};
}

// The record's twelve in-view slots from the merged sky: used satellites first, then by SNR.
void WriteSky(const NmeaSource* s, FixRecord* fix) {
  int order[kMaxSky];
  for (int i = 0; i < s->skyCount; ++i) order[i] = i;
  std::stable_sort(order, order + s->skyCount, [s](int a, int b) {
    bool ua = IsUsed(s, s->sky[a].prn), ub = IsUsed(s, s->sky[b].prn);
    if (ua != ub) return ua;
    return s->sky[a].snr > s->sky[b].snr;
  });
  for (int slot = 0; slot < kMaxSatellites; ++slot) {
    const SkySatellite* sat = slot < s->skyCount ? &s->sky[order[slot]] : nullptr;
    fix->InViewPrns[slot] = sat ? sat->prn : 0;
    fix->InViewElevation[slot] = sat ? sat->elevation : 0;
    fix->InViewAzimuth[slot] = sat ? sat->azimuth : 0;
    fix->InViewSnr[slot] = sat ? sat->snr : 0;
  }
  fix->SatellitesInView = static_cast<DWORD>(s->skyCount);  // the true count
}

// GSA of any talker: the union of the used satellites, the best fix type, and the DOPs of the
// combined solution when there is one.
void ParseAnyGSA(NmeaSource* s, int talker, const char* line, FixRecord* fix) {
  int n = SplitFields(line);
  System system = SystemOfTalker(talker);
  if (system == SYS_NONE && n > GSA_SYSTEM) {  // NMEA 4.10 names the system; others are none
    int id = FieldInt(n, GSA_SYSTEM);
    if (id >= SYS_GPS && id <= SYS_NAVIC) system = static_cast<System>(id);
  }
  for (int i = GSA_FIRST_USED; i <= GSA_LAST_USED; ++i)
    if (!FieldBroken(i)) AddUsed(s, SkyNumber(system, FieldInt(n, i)));
  char mode = FieldText(n, GSA_SELECTION)[0];
  DWORD selection = mode == 'A' ? 1 : (mode == 'M' ? 2 : 0);
  if (!FieldBroken(GSA_FIX)) {  // a fix mode out of 1-3 is absent
    int m = FieldInt(n, GSA_FIX);
    DWORD type = m > 0 ? static_cast<DWORD>(m - 1) : 0;
    if (!s->gsaModeGiven || type > fix->FixType) fix->FixType = type;
    s->gsaModeGiven = true;
  }
  if (s->gsaCount == 0) fix->SelectionType = selection;
  if (s->gsaCount == 0 || talker == TALKER_GN || s->gsaDopTalker != TALKER_GN) {
    ReadGsaDops(n, fix);
    s->gsaDopTalker = talker;
  }
  for (int slot = 0; slot < kMaxSatellites; ++slot) fix->UsedPrns[slot] = slot < s->usedCount ? s->used[slot] : 0;
  fix->ValidFields |= FIX_USED_PRNS;
  ++s->gsaCount;
}

// GSV of any talker into the merged sky. A cycle whose GSV are one $GP group (or a $GP group
// sent again for the same signal, which replaces the first) keeps the record the $GP parser makes;
// another talker, or the same satellites on another signal (NMEA 4.11), merge into the sky the
// record is rebuilt from.
void ParseAnyGSV(NmeaSource* s, int talker, const char* line, FixRecord* fix) {
  int n = SplitFields(line);
  int signal = 0;
  if (n > GSV_FIRST_SATELLITE && (n - GSV_FIRST_SATELLITE) % GSV_PER_SATELLITE == 1) {  // NMEA 4.10 signal id
    --n;
    signal = FieldInt(n + 1, n);
  }
  // A group whose count or numbering breaks its rule cannot be placed: the sentence says nothing.
  if (FieldBroken(GSV_MESSAGES) || FieldBroken(GSV_MESSAGE) || FieldBroken(GSV_MESSAGE + 1)) return;
  int k = FieldInt(n, GSV_MESSAGE), total = FieldInt(n, GSV_MESSAGES);
  if (k == 1) {
    bool again = s->gsvGroups > 0 && talker == TALKER_GP && s->gsvTalker == TALKER_GP && signal == s->gsvSignal;
    if (again && !s->mergedSky) s->skyCount = 0;  // a newer sky of the same signal
    else if (s->gsvGroups > 0) s->mergedSky = true;
    ++s->gsvGroups;
    s->gsvTalker = talker;
    s->gsvSignal = signal;
  }
  if (talker != TALKER_GP) s->mergedSky = true;
  System system = SystemOfTalker(talker);
  for (int g = 0; g < 4; ++g) {
    int field = GSV_FIRST_SATELLITE + GSV_PER_SATELLITE * g;
    if (field >= n) break;
    if (SatelliteFieldsBroken(field)) continue;
    AddSky(s, SkyNumber(system, FieldInt(n, field)), static_cast<DWORD>(FieldInt(n, field + 1)),
           static_cast<DWORD>(FieldInt(n, field + 2)), static_cast<DWORD>(FieldInt(n, field + 3)));
  }
  if (s->mergedSky) {  // the record's sky is written at the end of each group and of the cycle
    if (k == total) {
      WriteSky(s, fix);
      fix->ValidFields |= FIX_IN_VIEW_GROUP;
    } else {
      fix->ValidFields &= ~FIX_IN_VIEW_GROUP;
    }
  } else {
    ParseGSV(line, fix);
  }
}

// The fix quality a GNS mode string gives: the best of its systems.
DWORD QualityOfMode(const char* mode) {
  DWORD best = 0;
  static const char kModes[] = "NAD P RFE";  // index = GGA quality; ' ' unused
  for (const char* c = mode; *c; ++c) {
    const char* at = strchr(kModes, *c);
    if (!at || *c == ' ') continue;
    DWORD q = static_cast<DWORD>(at - kModes);
    // Differential and RTK count above a plain fix; estimated below it.
    auto rank = [](DWORD v) { return v == 6 ? 1u : (v == 1 ? 2u : v + 2); };
    if (q && (best == 0 || rank(q) > rank(best))) best = q;
  }
  return best;
}

// hhmmss.sss of field `index` into the record's time.
// An hhmmss.sss value that is a time of day (garbage is none).
bool TimeOfDayValue(double t) { return t >= 0 && t < 240000; }

void TimeAt(int count, int index, FixRecord* fix) {
  if (!FieldGiven(count, index)) return;
  double t = FieldDouble(count, index);
  if (!TimeOfDayValue(t)) return;
  int hhmmss = static_cast<int>(t);
  fix->UtcTime.wHour = static_cast<WORD>(hhmmss / 10000 % 100);
  fix->UtcTime.wMinute = static_cast<WORD>(hhmmss / 100 % 100);
  fix->UtcTime.wSecond = static_cast<WORD>(hhmmss % 100);
  int ms = static_cast<int>((t - hhmmss) * 1000 + 1e-4);
  fix->UtcTime.wMilliseconds = static_cast<WORD>(ms > 999 ? 999 : ms);
  fix->ValidFields |= FIX_TIME;
}

// GNS: GGA's fields, with a mode character per system in place of the quality.
void ParseGNS(NmeaSource* s, const char* line, FixRecord* fix) {
  int n = SplitFields(line);
  TimeAt(n, GNS_TIME, fix);
  char mode[16];
  strcpy(mode, FieldText(n, GNS_MODE));
  // A position that breaks its rule: the sentence gives no fix.
  fix->FixQuality = PositionFieldsValid(GNS_LAT, GNS_LON) ? QualityOfMode(mode) : 0;
  DWORD valid = FIX_LATITUDE | FIX_LONGITUDE;
  if (!FieldBroken(GNS_ALTITUDE)) valid |= FIX_ALTITUDE_SEA_LEVEL;
  if (!FieldBroken(GNS_SEPARATION)) valid |= FIX_SEPARATION;
  if (!FieldBroken(GNS_HDOP)) valid |= FIX_HDOP;
  if (!FieldBroken(GNS_SATELLITES)) valid |= FIX_SATELLITE_COUNT;
  if (fix->FixQuality) {
    fix->Latitude = DdmmToDegrees(FieldDouble(n, GNS_LAT));
    if (FieldText(n, GNS_LAT + 1)[0] == 'S') fix->Latitude = -fix->Latitude;
    fix->Longitude = DdmmToDegrees(FieldDouble(n, GNS_LON));
    if (FieldText(n, GNS_LON + 1)[0] == 'W') fix->Longitude = -fix->Longitude;
    if (valid & FIX_SATELLITE_COUNT) fix->SatelliteCount = static_cast<DWORD>(FieldInt(n, GNS_SATELLITES));
    if (valid & FIX_HDOP) fix->Hdop = FieldFloat(n, GNS_HDOP);
    // A refused altitude or separation is no number at all: nothing downstream can take it for one.
    fix->AltitudeSeaLevel = (valid & FIX_ALTITUDE_SEA_LEVEL) ? FieldFloat(n, GNS_ALTITUDE) : NAN;
    fix->Separation = (valid & FIX_SEPARATION) ? FieldFloat(n, GNS_SEPARATION) : NAN;
    s->altitudeGiven = FieldGiven(n, GNS_ALTITUDE);
  }
  fix->ValidFields |= valid;
}

void ParseGLL(NmeaSource* s, const char* line, FixRecord* fix) {
  int n = SplitFields(line);
  // A position that breaks its rule is none.
  if (FieldText(n, GLL_STATUS)[0] != 'A' || !PositionFieldsValid(GLL_LAT, GLL_LON)) return;
  s->gllFix = true;
  if (!(fix->ValidFields & FIX_TIME)) TimeAt(n, GLL_TIME, fix);
  fix->Latitude = DdmmToDegrees(FieldDouble(n, GLL_LAT));
  if (FieldText(n, GLL_LAT + 1)[0] == 'S') fix->Latitude = -fix->Latitude;
  fix->Longitude = DdmmToDegrees(FieldDouble(n, GLL_LON));
  if (FieldText(n, GLL_LON + 1)[0] == 'W') fix->Longitude = -fix->Longitude;
  fix->ValidFields |= FIX_LATITUDE | FIX_LONGITUDE;
}

// ZDA: the time and the date (with a four-digit year).
void ParseZDA(const char* line, FixRecord* fix) {
  int n = SplitFields(line);
  if (FieldBroken(ZDA_DAY) || FieldBroken(ZDA_MONTH) || FieldBroken(ZDA_YEAR)) return;
  int day = FieldInt(n, ZDA_DAY), month = FieldInt(n, ZDA_MONTH), year = FieldInt(n, ZDA_YEAR);
  if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1980 || year > 2200) return;
  if (!(fix->ValidFields & FIX_TIME)) TimeAt(n, ZDA_TIME, fix);
  fix->UtcTime.wYear = static_cast<WORD>(year);
  fix->UtcTime.wMonth = static_cast<WORD>(month);
  fix->UtcTime.wDay = static_cast<WORD>(day);
  fix->ValidFields |= FIX_DATE;
}

// GGA, RMC, GNS, GLL and VTG: the record follows one talker's solution, the combined one ($GN)
// when the receiver sends it; a type the combined solution lacks is taken from the other talker.
void ParseSolution(NmeaSource* s, int talker, int type, const char* line, FixRecord* fix) {
  if (s->solutionTalker < 0 || talker == TALKER_GN) s->solutionTalker = talker;
  if (talker != s->solutionTalker && Seen(s, s->solutionTalker, type)) return;
  // GLL and GNS only stand in for GGA and RMC, whose fields carry more digits.
  if ((type == GLL || type == GNS) && (Seen(s, talker, GGA) || Seen(s, talker, RMC))) return;
  switch (type) {
    case GGA: {
      ParseGGA(line, fix);
      // The field table still holds the GGA just parsed.
      s->altitudeGiven = fix->FixQuality != 0 && FieldGiven(kMaxFields, GGA_ALTITUDE);
      break;
    }
    case RMC: {
      char mode[16];
      s->rmcFix = ParseRMC(line, fix) == 1;  // status A with a position that keeps its rules
      FieldOf(line, RMC_MODE, mode);
      s->rmcMode = mode[0];
      break;
    }
    case VTG: ParseVTG(line, fix); break;
    case GLL: ParseGLL(s, line, fix); break;
    case GNS: ParseGNS(s, line, fix); break;
    case ZDA: ParseZDA(line, fix); break;
  }
}

}  // namespace

bool NmeaChecksumOk(const char* line) {
  const char* star = strchr(line, '*');
  if (!star) return true;  // sentences without a checksum are taken as they are
  auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1); };
  int hi = hex(star[1]), lo = star[1] ? hex(star[2]) : -1;
  if (hi < 0 || lo < 0) return false;
  unsigned char sum = 0;
  for (const char* p = line + 1; p < star; ++p) sum = static_cast<unsigned char>(sum ^ *p);
  return sum == hi * 16 + lo;
}

const char* NmeaSentenceIn(const char* text) {
  for (const char* p = strchr(text, '$'); p; p = strchr(p + 1, '$'))
    if (NmeaChecksumOk(p) && strchr(p, '*')) return p;
  return nullptr;
}

bool NmeaSentenceAlive(const char* line) {
  if (!line || !NmeaChecksumOk(line) || TalkerOf(line) < 0 || TypeOf(line) < 0) return false;
  int n = SplitFields(line);
  for (int i = 1; i < n; ++i)
    if (FieldBroken(i)) return false;
  return true;
}

void NmeaSourceReset(NmeaSource* source, bool strict) {
  memset(source, 0, sizeof *source);
  source->strict = strict;
  source->solutionTalker = -1;
  source->gsaDopTalker = -1;
  source->cyclesSinceGsa = -1;
  source->gsvTalker = -1;
}

namespace {

// The talker and type of a line as the mode reads them; false for lines the mode ignores.
bool Classify(const NmeaSource* s, const char* line, int* talker, int* type) {
  if (s->strict) {  // $GP only, of the types the $GP parser knows
    *talker = strncmp(line, "$GP", 3) == 0 ? TALKER_GP : -1;
    *type = *talker < 0 ? -1 : TypeOf(line);
    if (*type == GLL || *type == GNS || *type == ZDA) *type = -1;
  } else {
    if (!NmeaChecksumOk(line)) return false;  // a line damaged on the wire says nothing
    *talker = TalkerOf(line);
    *type = *talker < 0 ? -1 : TypeOf(line);
  }
  return *talker >= 0 && *type >= 0;
}

// Milliseconds into the day of an hhmmss.sss field; -1 for one that is no time of day.
double TimeMs(const char* text) {
  double t = strtod(text, nullptr);
  if (!TimeOfDayValue(t)) return -1;
  int hhmmss = static_cast<int>(t);
  return ((hhmmss / 10000) * 3600.0 + (hhmmss / 100 % 100) * 60.0 + hhmmss % 100 + (t - hhmmss)) * 1000.0;
}

bool SameTime(const NmeaSource* s, const char* a, const char* b) {
  if (s->strict) return strcmp(a, b) == 0;
  if (!a[0] || !b[0]) return true;  // an empty time says nothing of the cycle
  double ta = TimeMs(a), tb = TimeMs(b);
  if (ta < 0 || tb < 0) return true;  // nor does one that is no time of day
  double d = ta - tb;
  return d < kSameTimeMs && d > -kSameTimeMs;
}

}  // namespace

bool NmeaStartsNewCycle(const NmeaSource* s, const char* line) {
  int talker, type;
  if (!s->haveData || !Classify(s, line, &talker, &type) || !TimeField(type)) return false;
  if (s->strict && type != GGA && type != RMC) return false;
  if (Seen(s, talker, type)) return true;  // a repeat
  char time[16];
  FieldOf(line, TimeField(type), time);
  return s->cycleTime[0] && !SameTime(s, time, s->cycleTime);
}

void NmeaParse(NmeaSource* s, const char* line, FixRecord* fix) {
  int talker, type;
  bool known = Classify(s, line, &talker, &type);
  s->haveData = true;
  if (known && TimeField(type) && !s->cycleTime[0]) {
    FieldOf(line, TimeField(type), s->cycleTime);
    if (!s->strict && TimeMs(s->cycleTime) < 0) s->cycleTime[0] = 0;  // garbage names no cycle
  }
  if (s->strict) {
    ParseNmeaSentence(line, fix);
  } else if (known) {
    switch (type) {
      case GSA: ParseAnyGSA(s, talker, line, fix); break;
      case GSV: ParseAnyGSV(s, talker, line, fix); break;
      default: ParseSolution(s, talker, type, line, fix); break;
    }
  }
  if (known) s->seen[type] = static_cast<uint16_t>(s->seen[type] | (1u << talker));
}

bool NmeaCycleLooksComplete(const NmeaSource* s, const FixRecord* fix) {
  if (s->strict || !s->haveLast) return false;
  for (int t = 0; t < TYPE_COUNT; ++t)
    if ((s->seen[t] & s->lastSeen[t]) != s->lastSeen[t]) return false;
  constexpr DWORD kPosition = FIX_TIME | FIX_LATITUDE | FIX_LONGITUDE;
  return (fix->ValidFields & kPosition) == kPosition;
}

namespace {

// The fix type, quality and DOPs a cycle without GSA (or without GGA) did not say.
void FillGaps(NmeaSource* s, FixRecord* fix) {
  bool gga = false;
  for (int t = 0; t <= TALKER_OTHER; ++t) gga = gga || Seen(s, t, GGA) || Seen(s, t, GNS);
  if (!gga && s->rmcFix && s->rmcMode != 'N' && s->rmcMode != 'E') fix->FixQuality = s->rmcMode == 'D' ? 2 : 1;
  if (!gga && fix->FixQuality == 0 && s->gllFix) fix->FixQuality = 1;
  if (s->gsaCount > 0 && !s->gsaModeGiven && fix->FixQuality != 0) {
    fix->FixType = s->altitudeGiven ? 2 : 1;  // GSA without a usable mode: as a cycle without GSA
    fix->SelectionType = 1;
  }
  if (s->gsaCount > 0) {
    s->cyclesSinceGsa = 0;
    s->lastFixType = fix->FixType;
    s->lastSelection = fix->SelectionType;
    s->lastPdop = fix->Pdop;
    s->lastHdop = fix->Hdop;
    s->lastVdop = fix->Vdop;
  } else if (s->cyclesSinceGsa >= 0 && s->cyclesSinceGsa < kGsaKeepCycles) {
    ++s->cyclesSinceGsa;  // GSA now and then: the last one still holds
    fix->FixType = fix->FixQuality ? s->lastFixType : 0;
    fix->SelectionType = s->lastSelection;
    fix->Pdop = s->lastPdop;
    fix->Vdop = s->lastVdop;
    if (!(fix->ValidFields & FIX_HDOP)) fix->Hdop = s->lastHdop;
    fix->ValidFields |= FIX_PDOP | FIX_HDOP | FIX_VDOP;
  } else {
    if (s->cyclesSinceGsa >= 0) s->cyclesSinceGsa = kGsaKeepCycles;
    if (fix->FixQuality != 0) {  // no GSA: the fix type from GGA, GNS or RMC
      fix->FixType = s->altitudeGiven ? 2 : 1;
      fix->SelectionType = 1;
    }
  }
  // A fix from RMC or GLL alone says nothing of its satellites. Programs take a count of 0 as no
  // fix, so the record gets the satellites GSA named, else the least a fix of its type needs.
  if (!gga && fix->FixQuality != 0 && fix->SatelliteCount == 0) {
    DWORD least = fix->FixType >= 2 ? 4 : 3;
    fix->SatelliteCount = s->usedCount > 0 ? static_cast<DWORD>(s->usedCount) : least;
    fix->ValidFields |= FIX_SATELLITE_COUNT;
  }
}

// A cycle with a time but no date (GGA-only cycles between the RMC of a 10 Hz receiver) takes
// the date of the last dated cycle, the next day when the time of day went back past midnight.
void CarryDate(NmeaSource* s, FixRecord* fix) {
  SYSTEMTIME& t = fix->UtcTime;
  if (fix->ValidFields & FIX_DATE) {
    s->lastTime = t;
    s->haveDate = true;
    return;
  }
  if (!(fix->ValidFields & FIX_TIME) || !s->haveDate) return;
  SYSTEMTIME dated = s->lastTime;
  double now = ((t.wHour * 60.0 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
  double before = ((dated.wHour * 60.0 + dated.wMinute) * 60 + dated.wSecond) * 1000 + dated.wMilliseconds;
  if (now < before - 12 * 3600000.0) AddMilliseconds(&dated, 86400000);
  t.wYear = dated.wYear;
  t.wMonth = dated.wMonth;
  t.wDay = dated.wDay;
  fix->ValidFields |= FIX_DATE;
  s->lastTime = t;
}

}  // namespace

void NmeaFinishCycle(NmeaSource* s, FixRecord* fix) {
  if (!s->strict) {
    if (s->mergedSky) WriteSky(s, fix);
    FillGaps(s, fix);
    CarryDate(s, fix);
    memcpy(s->lastSeen, s->seen, sizeof s->seen);
    s->haveLast = true;
  }
  s->haveData = false;
  s->cycleTime[0] = 0;
  memset(s->seen, 0, sizeof s->seen);
  s->solutionTalker = -1;
  s->gsaCount = 0;
  s->gsaModeGiven = false;
  s->gsaDopTalker = -1;
  s->usedCount = 0;
  s->skyCount = 0;
  s->gsvGroups = 0;
  s->gsvTalker = -1;
  s->gsvSignal = 0;
  s->mergedSky = false;
  s->altitudeGiven = false;
  s->rmcFix = false;
  s->rmcMode = 0;
  s->gllFix = false;
}
