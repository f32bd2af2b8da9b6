// The receiver reports a fix every second: the true position of `latency` ms earlier plus 3 m
// of noise per axis (white, or first-order Gauss-Markov with a 30 s time constant), and speed and
// course from the true motion plus a little noise. The driver's clock is put on the fix time at
// each arrival, as the GPS clock check does; the measured-latency mode compares it with the true
// time of the arrival. Each read is compared with the true position at the moment of reading,
// and so is the raw receiver (its latest fix).
#include "lab_drive.h"
#include <algorithm>
#include <cmath>
#include <random>
#include "pipeline_harness.h"
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "support/geodesy.h"

namespace {

constexpr double kLat0 = 48.0, kLon0 = 11.0;
constexpr double kTrackStep = 0.01;  // s
constexpr double kDrive = 50 / 3.6, kWalk = 5 / 3.6;

// Integrates a path from a speed profile and a curvature rule.
Track Integrate(const char* name, double duration, double (*speed)(double t), double (*curvature)(double s),
                bool moving) {
  Track tr{name, {}, {}, {}, {}, duration, moving};
  double x = 0, y = 0, h = 0, s = 0;  // heading from north, clockwise (radians)
  for (double t = 0; t <= duration + 5; t += kTrackStep) {
    double v = speed(t);
    tr.x.push_back(x);
    tr.y.push_back(y);
    tr.vx.push_back(v * std::sin(h));
    tr.vy.push_back(v * std::cos(h));
    double ds = v * kTrackStep;
    double hm = h + curvature(s) * ds / 2;
    x += ds * std::sin(hm);
    y += ds * std::cos(hm);
    h += curvature(s) * ds;
    s += ds;
  }
  return tr;
}

double Drive(double) { return kDrive; }
double Walk(double) { return kWalk; }
double Still(double) { return 0; }
double StopAndGo(double t) {  // 20 s stop, 2 m/s^2 up to 50 km/h, 40 s cruise, down again
  const double ramp = kDrive / 2.0, cycle = 20 + ramp + 40 + ramp;
  double c = std::fmod(t, cycle);
  if (c < 20) return 0;
  if (c < 20 + ramp) return (c - 20) * 2.0;
  if (c < 20 + ramp + 40) return kDrive;
  return std::max(0.0, kDrive - (c - 20 - ramp - 40) * 2.0);
}
double NoTurns(double) { return 0; }
double Turns(double s) {  // 300 m straight, then 90 degrees on a 30 m radius, turning left and right in turn
  const double arc = M_PI * 30 / 2, period = 300 + arc;
  double c = std::fmod(s, period);
  if (c < 300) return 0;
  return (static_cast<long>(s / period) % 2 ? -1.0 : 1.0) / 30.0;
}

void At(const Track& tr, double t, double* x, double* y, double* vx, double* vy) {
  double i = t / kTrackStep;
  size_t k = std::min(static_cast<size_t>(std::max(0.0, std::floor(i))), tr.x.size() - 2);
  double f = i - static_cast<double>(k);
  auto lerp = [&](const std::vector<double>& v) { return v[k] + (v[k + 1] - v[k]) * f; };
  *x = lerp(tr.x);
  *y = lerp(tr.y);
  if (vx) *vx = lerp(tr.vx);
  if (vy) *vy = lerp(tr.vy);
}

double ToLat(double y) { return kLat0 + y / (EARTH_RADIUS_M * DEG_TO_RAD); }
double ToLon(double x) { return kLon0 + x / (EARTH_RADIUS_M * DEG_TO_RAD * std::cos(kLat0 * DEG_TO_RAD)); }

double Error(double lat, double lon, double x, double y) {
  double bearing, d;
  GreatCircle(lat * DEG_TO_RAD, lon * DEG_TO_RAD, ToLat(y) * DEG_TO_RAD, ToLon(x) * DEG_TO_RAD, &bearing, &d);
  return d;
}

SYSTEMTIME TimeAt(double seconds) {
  SYSTEMTIME base{2026, 12, 0, 6, 12, 0, 0, 0};
  FILETIME ft;
  SystemTimeToFileTime(&base, &ft);
  ft = U64ToFileTime(FileTimeToU64(ft) + static_cast<ULONGLONG>(std::llround(seconds * 1000)) * kFileTimePerMs);
  SYSTEMTIME t;
  FileTimeToSystemTime(&ft, &t);
  return t;
}

}  // namespace

const LabSetting kDefaultsSetting = {"defaults", "#2060d0", 1500, 0, 0, 0};
const LabSetting kNewSetting = {"HonestStill+AutoLag", "#10a040", 1500, 1, 1, 0};
const LabSetting kSmoothSetting = {"HonestStill+AutoLag+Smooth", "#a040c0", 1500, 1, 1, 1};

std::vector<Track> LabTracks() {
  return {Integrate("straight 50 km/h", 300, Drive, NoTurns, true),
          Integrate("curves 50 km/h", 300, Drive, Turns, true),
          Integrate("stop and go", 300, StopAndGo, NoTurns, false),
          Integrate("walking 5 km/h", 300, Walk, NoTurns, true),
          Integrate("standing 120 s", 120, Still, NoTurns, false)};
}

LabPoint LocalMetres(double lat, double lon, double lat0, double lon0) {
  return {(lon - lon0) * EARTH_RADIUS_M * DEG_TO_RAD * std::cos(lat0 * DEG_TO_RAD),
          (lat - lat0) * EARTH_RADIUS_M * DEG_TO_RAD};
}

Stats Summarise(std::vector<double> e) {
  Stats s;
  if (e.empty()) return s;
  for (double v : e) s.mean += v;
  s.mean /= static_cast<double>(e.size());
  std::sort(e.begin(), e.end());
  s.p95 = e[std::min(e.size() - 1, static_cast<size_t>(std::ceil(0.95 * static_cast<double>(e.size()))) - 1)];
  return s;
}

void ApplyLabSetting(const LabSetting& setting) {
  SetProfileDefaults(1);
  g_System.CurrentProfile = 1;
  g_Profile.LagAdvance = setting.lagAdvance;
  g_Profile.HonestStill = setting.honestStill;
  g_Profile.AutoLag = setting.autoLag;
  g_Profile.Smooth = setting.smooth;
}

FixRecord LabFeedAndRead(const FixRecord& cycle, DWORD latencyMs, DWORD readAtMs, bool* started) {
  SYSTEMTIME driverClock = cycle.UtcTime;
  if (!*started) HarnessBegin(&driverClock, 4);
  else HarnessSetNow(&driverClock);
  *started = true;
  FixRecord received = cycle;
  HarnessFeed(&received);
  SYSTEMTIME trueArrival = cycle.UtcTime;
  AddMilliseconds(&trueArrival, static_cast<LONG>(latencyMs));
  HarnessMeasure(&cycle.UtcTime, &trueArrival);
  HarnessAdvance(readAtMs);
  FixRecord out{};
  HarnessRead(&out);
  return out;
}

namespace {

struct Errors {
  std::vector<double> raw, ours, noise;
};

// One drive with one noise draw; its errors appended to `e`, its points to `line` and `picture`.
void DriveOnce(const LabCase& c, unsigned seed, Errors* e, LabLine* line, LabSeries* picture, bool drawRaw) {
  const Track& tr = *c.track;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> unit(0, 1);
  const double sigma = 3.0, tau = 30.0, keep = std::exp(-1.0 / tau), fresh = std::sqrt(1 - keep * keep);
  double nx = sigma * unit(rng), ny = sigma * unit(rng);
  bool started = false;
  for (int k = 1; k + c.latency / 1000.0 + 1 < tr.duration; ++k) {
    double fixTime = k;  // the receiver's epoch; it arrives `latency` later
    double x, y, vx, vy;
    At(tr, fixTime, &x, &y, &vx, &vy);
    if (c.markov) {
      nx = nx * keep + fresh * sigma * unit(rng);
      ny = ny * keep + fresh * sigma * unit(rng);
    } else {
      nx = sigma * unit(rng);
      ny = sigma * unit(rng);
    }
    double speed = std::hypot(vx, vy);
    double course = speed > 0.01 ? std::fmod(std::atan2(vx, vy) * RAD_TO_DEG + 360, 360) : 0;
    FixRecord fix{};
    fix.ValidFields = FIX_COMPLETE_BURST;
    fix.UtcTime = TimeAt(fixTime);
    fix.Latitude = ToLat(y + ny);
    fix.Longitude = ToLon(x + nx);
    fix.Speed = static_cast<float>(std::max(0.0, speed * 3.6 + 0.2 * unit(rng)));
    fix.Heading = static_cast<float>(std::fmod(course + (speed > 0.5 ? 1.0 : 30.0) * unit(rng) + 720, 360));
    fix.FixQuality = 1;
    fix.FixType = 2;
    fix.Pdop = 1.8f;
    fix.Hdop = 1.0f;
    fix.Vdop = 1.5f;
    fix.SatelliteCount = 8;
    fix.SatellitesInView = 10;
    e->noise.push_back(std::hypot(nx, ny));
    FixRecord out = LabFeedAndRead(fix, c.latency, c.readAt, &started);
    double readTime = fixTime + (c.latency + c.readAt) / 1000.0;
    At(tr, readTime, &x, &y, nullptr, nullptr);
    e->raw.push_back(Error(fix.Latitude, fix.Longitude, x, y));
    e->ours.push_back(Error(out.Latitude, out.Longitude, x, y));
    if (picture) {
      if (drawRaw) {
        picture->truth.push_back({x, y});
        picture->raw.points.push_back(LocalMetres(fix.Latitude, fix.Longitude, kLat0, kLon0));
      }
      line->points.push_back(LocalMetres(out.Latitude, out.Longitude, kLat0, kLon0));
    }
  }
}

}  // namespace

LabResult RunCase(const LabCase& c, const LabSetting& setting, unsigned seed, LabSeries* picture, int runs) {
  ApplyLabSetting(setting);
  Errors e;
  LabLine line{setting.name, setting.colour, {}, {}, 0, 0};
  bool drawRaw = picture && picture->raw.points.empty();
  for (int run = 0; run < runs; ++run) DriveOnce(c, seed + run, &e, &line, run == 0 ? picture : nullptr, drawRaw);
  LabResult r{Summarise(e.raw), Summarise(e.ours), Summarise(e.noise).mean};
  if (picture) {
    if (drawRaw) picture->raw = {"receiver", "#d03030", picture->raw.points, e.raw, r.raw.mean, r.raw.p95};
    line.errors = e.ours;
    line.mean = r.out.mean;
    line.p95 = r.out.p95;
    picture->outputs.push_back(line);
  }
  return r;
}
