// Accuracy of the corrected position against the receiver's own, on synthetic drives run through
// the driver's processing with its clock under control.
//
// The receiver reports a fix every second: the true position of `latency` ms earlier (its
// reporting latency) plus 3 m of noise per axis (white, or first-order Gauss-Markov with a 30 s
// time constant), and speed and course from the true motion plus a little noise. The driver's
// clock is synchronised to the arrival of the fixes, as the GPS clock check makes it. A program
// reads the port every second, `readAt` ms after each fix arrives; each output is compared with
// the true position at the moment of reading, and so is the raw receiver (its latest fix).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include <getopt.h>
#include "lab_svg.h"
#include "pipeline_harness.h"
#include "platform/platform.h"
#include "support/geodesy.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "support/program_options.h"

namespace {

constexpr double kLat0 = 48.0, kLon0 = 11.0;
constexpr double kStep = 0.01;  // s, resolution of the true track

struct Track {
  const char* name;
  std::vector<double> x, y, vx, vy;  // metres east and north, m/s
  double duration;
};

// Integrates a path from a speed profile and a curvature rule.
Track Integrate(const char* name, double duration, double (*speed)(double t), double (*curvature)(double s)) {
  Track tr{name, {}, {}, {}, {}, duration};
  double x = 0, y = 0, h = 0, s = 0;  // heading from north, clockwise (radians)
  for (double t = 0; t <= duration + 5; t += kStep) {
    double v = speed(t);
    tr.x.push_back(x);
    tr.y.push_back(y);
    tr.vx.push_back(v * std::sin(h));
    tr.vy.push_back(v * std::cos(h));
    double ds = v * kStep;
    double hm = h + curvature(s) * ds / 2;
    x += ds * std::sin(hm);
    y += ds * std::cos(hm);
    h += curvature(s) * ds;
    s += ds;
  }
  return tr;
}

constexpr double kDrive = 50 / 3.6, kWalk = 5 / 3.6;
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
  double i = t / kStep;
  size_t k = std::min(static_cast<size_t>(std::max(0.0, std::floor(i))), tr.x.size() - 2);
  double f = i - k;
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

struct Stats {
  double mean = 0, p95 = 0;
};

Stats Summarise(std::vector<double> e) {
  Stats s;
  if (e.empty()) return s;
  for (double v : e) s.mean += v;
  s.mean /= static_cast<double>(e.size());
  std::sort(e.begin(), e.end());
  s.p95 = e[std::min(e.size() - 1, static_cast<size_t>(std::ceil(0.95 * static_cast<double>(e.size()))) - 1)];
  return s;
}

struct Run {
  Stats raw, ours;
};

// Local metres of a position, as the track is laid out.
LabPoint Local(double lat, double lon) {
  return {(lon - kLon0) * EARTH_RADIUS_M * DEG_TO_RAD * std::cos(kLat0 * DEG_TO_RAD), (lat - kLat0) * EARTH_RADIUS_M * DEG_TO_RAD};
}

// One drive through the driver with the "Driving" defaults and the given LagAdvance; `lab`, when
// given, gets every read for the pictures.
Run Drive(const Track& tr, bool markov, DWORD latency, DWORD readAt, DWORD lagAdvance, unsigned seed,
          LabSeries* lab = nullptr, DWORD honestStill = 0) {
  SetProfileDefaults(1);
  g_System.CurrentProfile = 1;
  g_Profile.LagAdvance = lagAdvance;
  g_Profile.HonestStill = honestStill;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> unit(0, 1);
  const double sigma = 3.0, tau = 30.0, keep = std::exp(-1.0 / tau), fresh = std::sqrt(1 - keep * keep);
  double nx = sigma * unit(rng), ny = sigma * unit(rng);
  std::vector<double> raw, ours;
  bool started = false;
  for (int k = 1; k + latency / 1000.0 + 1 < tr.duration; ++k) {
    double fixTime = k;  // the receiver's epoch; it arrives `latency` later
    double x, y, vx, vy;
    At(tr, fixTime, &x, &y, &vx, &vy);
    if (markov) {
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
    SYSTEMTIME arrivalClock = fix.UtcTime;  // the clock check puts the GPS time on the arrival
    if (!started) HarnessBegin(&arrivalClock, 4);
    else HarnessSetNow(&arrivalClock);
    started = true;
    FixRecord received = fix;
    HarnessFeed(&received);
    HarnessAdvance(readAt);
    FixRecord out{};
    HarnessRead(&out);
    double readTime = fixTime + (latency + readAt) / 1000.0;
    At(tr, readTime, &x, &y, nullptr, nullptr);
    raw.push_back(Error(fix.Latitude, fix.Longitude, x, y));
    ours.push_back(Error(out.Latitude, out.Longitude, x, y));
    if (lab) {
      lab->truth.push_back({x, y});
      lab->raw.push_back(Local(fix.Latitude, fix.Longitude));
      lab->corrected.push_back(Local(out.Latitude, out.Longitude));
    }
  }
  Run r{Summarise(raw), Summarise(ours)};
  if (lab) {
    lab->rawError = raw;
    lab->correctedError = ours;
    lab->rawMean = r.raw.mean, lab->rawP95 = r.raw.p95;
    lab->correctedMean = r.ours.mean, lab->correctedP95 = r.ours.p95;
  }
  return r;
}

}  // namespace

// The pictures of every scenario: white noise, a receiver 1000 ms late, read 500 ms after each
// fix, the "Driving" defaults; an index with their numbers.
int WritePictures(const std::vector<Track>& tracks, const std::string& dir) {
  std::filesystem::create_directories(dir);
  std::string index =
      "| scenario | receiver mean | receiver p95 | driver mean | driver p95 | HonestStill mean | HonestStill p95 | picture "
      "|\n|---|---|---|---|---|---|---|---|\n";
  for (const Track& tr : tracks) {
    LabSeries lab;
    lab.title = std::string(tr.name) + ", receiver 1000 ms late, white noise 3 m";
    Drive(tr, false, 1000, 500, 1500, 7, &lab);
    Run honest = Drive(tr, false, 1000, 500, 1500, 7, nullptr, 1);
    std::string slug;
    for (const char* c = tr.name; *c; ++c) slug += isalnum(static_cast<unsigned char>(*c)) ? *c : '-';
    if (!WriteLabSvg(dir + "/" + slug + ".svg", lab)) {
      fprintf(stderr, "accuracy: cannot write %s/%s.svg\n", dir.c_str(), slug.c_str());
      return 1;
    }
    char row[320];
    snprintf(row, sizeof row, "| %s | %.1f m | %.1f m | %.1f m | %.1f m | %.1f m | %.1f m | [svg](%s.svg) |\n", tr.name,
             lab.rawMean, lab.rawP95, lab.correctedMean, lab.correctedP95, honest.ours.mean, honest.ours.p95,
             slug.c_str());
    index += row;
    fprintf(stderr, "accuracy: %s.svg\n", slug.c_str());
  }
  FILE* f = fopen((dir + "/index.md").c_str(), "w");
  if (!f || fputs(index.c_str(), f) < 0 || fclose(f) != 0) {
    fprintf(stderr, "accuracy: cannot write %s/index.md\n", dir.c_str());
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  static const option kOptions[] = {{"svg", required_argument, nullptr, 's'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
  std::string svgDir;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 's': svgDir = optarg; break;
      case 'h':
        puts("Usage: accuracy [--svg DIR]\nPrints the horizontal error of the raw receiver and of the driver's output on\n"
             "synthetic drives (see the head of bench/accuracy.cpp). With --svg, writes a picture of each\n"
             "drive (truth, receiver and driver on a metre grid, and the error over time) and an index\n"
             "into DIR instead.");
        return 0;
      case 'V': return PrintVersion("accuracy");
      default: return RefuseOption("accuracy", argv);
    }
  }
  char root[] = "/tmp/ferrox-accuracy-XXXXXX";
  if (!mkdtemp(root)) return 1;
  PlatformSetRoot(root);
  LogSetEnable(0);
  std::vector<Track> tracks = {Integrate("straight 50 km/h", 300, Drive, NoTurns),
                               Integrate("curves 50 km/h", 300, Drive, Turns),
                               Integrate("stop and go", 300, StopAndGo, NoTurns),
                               Integrate("walking 5 km/h", 300, Walk, NoTurns),
                               Integrate("standing 120 s", 120, Still, NoTurns)};
  if (!svgDir.empty()) {
    int rc = WritePictures(tracks, svgDir);
    HarnessEnd();
    PlatformSetRoot(std::string(root) + "/none");
    std::filesystem::remove_all(root);
    return rc;
  }
  const DWORD lags[] = {0, 500, 1000, 1500, 2000};
  for (DWORD latency : {1000u, 500u}) {
    printf("\nReceiver latency %u ms, program reads 500 ms after each fix arrives; \"Driving\" defaults "
           "(LagAdvance 1500)\n", latency);
    printf("%-18s %-7s | %9s %9s | %9s %9s | %6s | %9s %9s | best LagAdvance (mean m)\n", "scenario", "noise",
           "raw mean", "raw p95", "ours mean", "ours p95", "ratio", "still mean", "still p95");
    for (const Track& tr : tracks)
      for (bool markov : {false, true}) {
        Run d = Drive(tr, markov, latency, 500, 1500, 7);
        Run h = Drive(tr, markov, latency, 500, 1500, 7, nullptr, 1);
        DWORD best = 0;
        double bestMean = 1e9;
        std::string sweep;
        for (DWORD lag : lags) {
          Run r = Drive(tr, markov, latency, 500, lag, 7);
          char b[32];
          snprintf(b, sizeof b, " %u:%.1f", lag, r.ours.mean);
          sweep += b;
          if (r.ours.mean < bestMean) bestMean = r.ours.mean, best = lag;
        }
        printf("%-18s %-7s | %9.2f %9.2f | %9.2f %9.2f | %6.2f | %9.2f %9.2f | %u (%s)\n", tr.name,
               markov ? "GM 30s" : "white", d.raw.mean, d.raw.p95, d.ours.mean, d.ours.p95, d.ours.mean / d.raw.mean,
               h.ours.mean, h.ours.p95, best, sweep.c_str() + 1);
      }
    printf("Reading earlier or later after the arrival (mean error, raw / ours, defaults):\n");
    for (const Track& tr : tracks) {
      printf("  %-18s", tr.name);
      for (DWORD readAt : {100u, 900u}) {
        Run r = Drive(tr, true, latency, readAt, 1500, 7);
        printf("  at %3u ms: %6.2f / %6.2f", readAt, r.raw.mean, r.ours.mean);
      }
      printf("   (GM noise)\n");
    }
  }
  HarnessEnd();
  PlatformSetRoot(std::string(root) + "/none");
  std::filesystem::remove_all(root);
  return 0;
}
