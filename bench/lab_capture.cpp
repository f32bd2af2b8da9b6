#include "lab_capture.h"
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>
#include "capture_cycles.h"
#include "lab_drive.h"
#include "pipeline_harness.h"
#include "platform/platform.h"
#include "support/geodesy.h"

namespace {

struct TruthPoint {
  double t;  // ms since 1970
  double lat, lon;
};

double UnixMs(const SYSTEMTIME& st) {
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return NAN;
  return static_cast<double>(FileTimeToU64(ft) - kFileTimeUnixEpoch) / kFileTimePerMs;
}

// Returns false with a message naming the line that cannot be read.
bool LoadTruth(const std::string& path, std::vector<TruthPoint>* out) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    fprintf(stderr, "accuracy: cannot read %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  char line[256];
  for (int n = 1; fgets(line, sizeof line, f); ++n) {
    unsigned y, mo, d, h, mi;
    double s, lat, lon;
    if (line[0] == '\n' || line[0] == '#') continue;
    if (sscanf(line, "%4u-%2u-%2uT%2u:%2u:%lfZ %lf %lf", &y, &mo, &d, &h, &mi, &s, &lat, &lon) != 8 || s < 0 ||
        s >= 60) {
      fprintf(stderr, "accuracy: %s line %d is not \"YYYY-MM-DDThh:mm:ss.sssZ LAT LON\"\n", path.c_str(), n);
      fclose(f);
      return false;
    }
    SYSTEMTIME st{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                  static_cast<WORD>(mi), static_cast<WORD>(s), static_cast<WORD>(std::lround((s - std::floor(s)) * 1000) % 1000)};
    double t = UnixMs(st);
    if (std::isnan(t) || (!out->empty() && t <= out->back().t)) {
      fprintf(stderr, "accuracy: %s line %d: not a time after the line before\n", path.c_str(), n);
      fclose(f);
      return false;
    }
    out->push_back({t, lat, lon});
  }
  fclose(f);
  return true;
}

// The true position at `t` ms, interpolated; false outside the track.
bool TruthAt(const std::vector<TruthPoint>& truth, double t, double* lat, double* lon) {
  auto it = std::lower_bound(truth.begin(), truth.end(), t, [](const TruthPoint& p, double v) { return p.t < v; });
  if (it == truth.begin() || it == truth.end()) return false;
  const TruthPoint& a = *(it - 1);
  const TruthPoint& b = *it;
  double f = (t - a.t) / (b.t - a.t);
  *lat = a.lat + (b.lat - a.lat) * f;
  *lon = a.lon + (b.lon - a.lon) * f;
  return true;
}

double Distance(double lat1, double lon1, double lat2, double lon2) {
  double bearing, d;
  GreatCircle(lat1 * DEG_TO_RAD, lon1 * DEG_TO_RAD, lat2 * DEG_TO_RAD, lon2 * DEG_TO_RAD, &bearing, &d);
  return d;
}

bool HasPosition(const FixRecord& f) {
  return (f.ValidFields & FIX_POSITION_GROUP) == FIX_POSITION_GROUP && f.FixQuality != 0 && f.FixType != 0;
}

}  // namespace

int RunCaptureLab(const std::string& capturePath, const std::string& truthPath, DWORD latency, DWORD readAt,
                  const std::string& svgPath) {
  FILE* in = fopen(capturePath.c_str(), "rb");
  if (!in) {
    fprintf(stderr, "accuracy: cannot read %s: %s\n", capturePath.c_str(), strerror(errno));
    return 1;
  }
  std::vector<FixRecord> cycles;
  int failed = ReadCaptureCycles(in, false, [](const FixRecord& f, void* v) {
    // Cycles without time and date cannot be put on the driver's clock.
    if ((f.ValidFields & (FIX_TIME | FIX_DATE)) == (FIX_TIME | FIX_DATE))
      static_cast<std::vector<FixRecord>*>(v)->push_back(f);
  }, &cycles);
  fclose(in);
  if (failed) {
    fprintf(stderr, "accuracy: read error on %s\n", capturePath.c_str());
    return 1;
  }
  auto first = std::find_if(cycles.begin(), cycles.end(), HasPosition);
  if (first == cycles.end()) {
    fprintf(stderr, "accuracy: %s holds no dated cycle with a fix\n", capturePath.c_str());
    return 1;
  }
  std::vector<TruthPoint> truth;
  if (!truthPath.empty() && !LoadTruth(truthPath, &truth)) return 1;
  if (!truthPath.empty() && truth.size() < 2) {
    fprintf(stderr, "accuracy: the truth track %s has fewer than two points\n", truthPath.c_str());
    return 1;
  }
  const double lat0 = first->Latitude, lon0 = first->Longitude;
  LabSeries picture;
  picture.title = capturePath.substr(capturePath.find_last_of('/') + 1) + ", read " + std::to_string(readAt) +
                  " ms after a " + std::to_string(latency) + " ms late arrival";
  picture.raw = {"receiver", "#d03030", {}, {}, 0, 0};
  bool haveTruth = !truth.empty();
  size_t compared = 0;
  for (const LabSetting* setting : {&kDefaultsSetting, &kNewSetting, &kSmoothSetting}) {
    ApplyLabSetting(*setting);
    LabLine line{setting->name, setting->colour, {}, {}, 0, 0};
    bool started = false, drawRaw = picture.raw.points.empty();
    FixRecord latest{};  // what the receiver last said with a fix
    for (const FixRecord& cycle : cycles) {
      FixRecord out = LabFeedAndRead(cycle, latency, readAt, &started);
      if (HasPosition(cycle)) latest = cycle;
      if (!HasPosition(latest)) continue;
      double tlat = 0, tlon = 0;
      bool inTruth = haveTruth && TruthAt(truth, UnixMs(cycle.UtcTime) + latency + readAt, &tlat, &tlon);
      if (haveTruth && !inTruth) continue;  // only the reads the truth covers are drawn and compared
      if (drawRaw) {
        picture.raw.points.push_back(LocalMetres(latest.Latitude, latest.Longitude, lat0, lon0));
        if (inTruth) {
          picture.truth.push_back(LocalMetres(tlat, tlon, lat0, lon0));
          picture.raw.errors.push_back(Distance(latest.Latitude, latest.Longitude, tlat, tlon));
        }
      }
      line.points.push_back(LocalMetres(out.Latitude, out.Longitude, lat0, lon0));
      if (inTruth) line.errors.push_back(Distance(out.Latitude, out.Longitude, tlat, tlon));
    }
    HarnessEnd();
    Stats s = Summarise(line.errors);
    line.mean = s.mean, line.p95 = s.p95;
    picture.outputs.push_back(line);
    compared = line.errors.size();
  }
  printf("%s: %zu cycles with time and date, %zu reads drawn\n", capturePath.c_str(), cycles.size(),
         picture.raw.points.size());
  if (haveTruth) {
    if (compared == 0) {
      fprintf(stderr, "accuracy: the truth track %s covers none of the capture's reads\n", truthPath.c_str());
      return 1;
    }
    Stats raw = Summarise(picture.raw.errors);
    picture.raw.mean = raw.mean, picture.raw.p95 = raw.p95;
    printf("  %-26s mean %6.2f m  p95 %6.2f m  (%zu reads)\n", "receiver", raw.mean, raw.p95, compared);
    for (const LabLine& line : picture.outputs)
      printf("  %-26s mean %6.2f m  p95 %6.2f m\n", line.name.c_str(), line.mean, line.p95);
  }
  if (!svgPath.empty() && !WriteLabSvg(svgPath, picture)) {
    fprintf(stderr, "accuracy: cannot write %s\n", svgPath.c_str());
    return 1;
  }
  return 0;
}
