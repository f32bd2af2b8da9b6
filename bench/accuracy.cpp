// The lab: the horizontal error at the moment a program reads, for the raw receiver, the driver
// with the "Driving" defaults, and the driver with the new settings (HonestStill and AutoLag), on
// synthetic drives (see lab_drive.cpp) or on a user's recorded capture (see lab_capture.cpp).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <getopt.h>
#include "lab_capture.h"
#include "lab_drive.h"
#include "pipeline_harness.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/program_options.h"

namespace {

constexpr DWORD kLatencies[] = {120, 500, 1000};
constexpr DWORD kReadPhases[] = {100, 500, 900};  // ms after each arrival, of a 1000 ms interval
constexpr unsigned kSeed = 7;
// Noise draws per row of the table: wandering noise holds its error for tens of seconds, so one
// two-minute drive sees only a few independent errors and one draw says little.
int g_runs = 20;

const char kUsage[] =
    "Usage: accuracy [--svg DIR] [--runs N]\n"
    "       accuracy --capture FILE [--truth FILE] [--latency MS] [--read-at MS] [--svg FILE]\n"
    "The error at the moment a program reads, for the raw receiver, the driver with the \"Driving\"\n"
    "defaults and the driver with HonestStill and AutoLag.\n"
    "Without --capture: every simulated drive (straight and curves at 50 km/h, stop and go, walking,\n"
    "standing) with white or wandering 3 m noise, a receiver 120, 500 or 1000 ms late, read 100, 500\n"
    "or 900 ms after each fix arrives; a table on standard output. With --svg DIR, also a picture\n"
    "of each drive at each latency (truth, receiver and both outputs on a metre grid, the errors\n"
    "over time) and DIR/index.md with the table. Each row takes --runs noise draws together\n"
    "(default 20); a picture shows the first.\n"
    "  --capture FILE  a recorded NMEA capture instead: each cycle arrives --latency ms (default\n"
    "                  1000) after its fix time and is read --read-at ms (default 500) later\n"
    "  --truth FILE    the true track of the capture (\"YYYY-MM-DDThh:mm:ss.sssZ LAT LON\" lines,\n"
    "                  as ferrox-sim --truth writes them): the errors are measured against it\n"
    "  --svg PATH      the pictures' folder, or with --capture the picture's file\n"
    "  --runs N        noise draws per row of the table (1 to 1000, default 20)\n"
    "  --version       print the version\n"
    "  --help          this text\n";

struct Row {
  const Track* track;
  bool markov;
  DWORD latency, readAt;
  LabResult defaults, mode, smooth;
};

// The goals of the new settings: at most 0.30 of the receiver's mean error when moving, at most
// the receiver's at standstill and in stop and go, and a p95 never above the receiver's.
bool GoalMet(const Row& r) {
  double share = r.track->moving ? 0.30 : 1.0;
  return r.mode.out.mean <= share * r.mode.raw.mean && r.mode.out.p95 <= r.mode.raw.p95;
}

// The smoothed setting's goals: moving (stop and go too), a mean no worse than the receiver with no latency at all
// (its noise floor); standing, at most half the receiver's; a p95 never above the unsmoothed
// setting's (a turn or a stop followed as soon).
bool FloorMet(const Row& r) {
  const bool standing = strncmp(r.track->name, "standing", 8) == 0;  // stop and go moves: the floor holds
  if (!standing && r.smooth.out.mean > r.smooth.floor) return false;
  if (standing && r.smooth.out.mean > 0.5 * r.smooth.raw.mean) return false;
  return r.smooth.out.p95 <= r.mode.out.p95 * 1.02;
}

std::string Slug(const std::string& name) {
  std::string slug;
  for (char c : name) slug += isalnum(static_cast<unsigned char>(c)) ? c : '-';
  return slug;
}

std::vector<Row> RunMatrix(const std::vector<Track>& tracks) {
  std::vector<Row> rows;
  for (DWORD latency : kLatencies)
    for (const Track& tr : tracks)
      for (bool markov : {false, true})
        for (DWORD readAt : kReadPhases) {
          LabCase c{&tr, markov, latency, readAt};
          rows.push_back({&tr, markov, latency, readAt, RunCase(c, kDefaultsSetting, kSeed, nullptr, g_runs),
                          RunCase(c, kNewSetting, kSeed, nullptr, g_runs), RunCase(c, kSmoothSetting, kSeed, nullptr, g_runs)});
        }
  return rows;
}

std::string Table(const std::vector<Row>& rows, bool markdown) {
  std::string out;
  char line[500];
  const char* head = markdown
      ? "| latency | scenario | noise | read at | receiver mean / p95 | floor | defaults mean / p95 | new mean / p95 | new / "
        "receiver | goal | smooth mean / p95 | smooth / floor | floor goal |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|\n"
      : "latency scenario           noise   read | receiver mean/p95 | floor | defaults mean/p95 |      new mean/p95 | new/rcv "
        "| goal   |   smooth mean/p95 | sm/flr | floor goal\n";
  out += head;
  int met = 0, floorMet = 0;
  for (const Row& r : rows) {
    const char* noise = r.markov ? "GM 30s" : "white";
    const char* goal = GoalMet(r) ? "met" : "missed";
    const char* floorGoal = FloorMet(r) ? "met" : "missed";
    double ratio = r.mode.out.mean / r.mode.raw.mean, floorRatio = r.smooth.out.mean / r.smooth.floor;
    if (markdown)
      snprintf(line, sizeof line,
               "| %u ms | %s | %s | %u ms | %.1f / %.1f m | %.1f m | %.1f / %.1f m | %.1f / %.1f m | %.2f | %s | %.1f / %.1f m "
               "| %.2f | %s |\n",
               r.latency, r.track->name, noise, r.readAt, r.defaults.raw.mean, r.defaults.raw.p95, r.smooth.floor,
               r.defaults.out.mean, r.defaults.out.p95, r.mode.out.mean, r.mode.out.p95, ratio, goal, r.smooth.out.mean,
               r.smooth.out.p95, floorRatio, floorGoal);
    else
      snprintf(line, sizeof line,
               "%4u ms %-18s %-7s %4u | %7.2f / %6.2f | %5.2f | %7.2f / %6.2f | %7.2f / %6.2f | %7.2f | %-6s | %7.2f / %6.2f | "
               "%6.2f | %s\n",
               r.latency, r.track->name, noise, r.readAt, r.defaults.raw.mean, r.defaults.raw.p95, r.smooth.floor,
               r.defaults.out.mean, r.defaults.out.p95, r.mode.out.mean, r.mode.out.p95, ratio, goal, r.smooth.out.mean,
               r.smooth.out.p95, floorRatio, floorGoal);
    out += line;
    met += GoalMet(r);
    floorMet += FloorMet(r);
  }
  snprintf(line, sizeof line, "%sgoal met in %d of %zu cases (moving: new mean <= 0.30 x receiver; standing and stop "
           "and go: <= 1.0 x; p95 never above the receiver's)\n", markdown ? "\n" : "", met, rows.size());
  out += line;
  snprintf(line, sizeof line, "%sfloor goal met in %d of %zu cases (smooth, moving: mean <= the receiver's noise floor, "
           "its mean error with no latency; standing: <= 0.5 x receiver; p95 no worse than new's)\n",
           markdown ? "\n" : "", floorMet, rows.size());
  out += line;
  return out;
}

// One picture per drive and latency: white noise, read 500 ms after each arrival.
int WritePictures(const std::vector<Track>& tracks, const std::string& dir, std::string* index) {
  *index += "| scenario | latency | picture |\n|---|---|---|\n";
  for (const Track& tr : tracks)
    for (DWORD latency : kLatencies) {
      LabSeries picture;
      picture.title = std::string(tr.name) + ", receiver " + std::to_string(latency) + " ms late, white noise 3 m";
      LabCase c{&tr, false, latency, 500};
      RunCase(c, kDefaultsSetting, kSeed, &picture);
      RunCase(c, kNewSetting, kSeed, &picture);
      RunCase(c, kSmoothSetting, kSeed, &picture);
      std::string file = Slug(tr.name) + "-" + std::to_string(latency) + "ms.svg";
      if (!WriteLabSvg(dir + "/" + file, picture)) {
        fprintf(stderr, "accuracy: cannot write %s/%s\n", dir.c_str(), file.c_str());
        return 1;
      }
      *index += "| " + std::string(tr.name) + " | " + std::to_string(latency) + " ms | [" + file + "](" + file + ") |\n";
      fprintf(stderr, "accuracy: %s\n", file.c_str());
    }
  return 0;
}

int RunLab(const std::string& svgDir) {
  std::vector<Track> tracks = LabTracks();
  fprintf(stderr, "accuracy: %zu drives x 2 noises x %zu latencies x %zu read phases, %d noise draws each\n",
          tracks.size(), std::size(kLatencies), std::size(kReadPhases), g_runs);
  std::vector<Row> rows = RunMatrix(tracks);
  fputs(Table(rows, false).c_str(), stdout);
  if (svgDir.empty()) return 0;
  std::filesystem::create_directories(svgDir);
  std::string index =
      "# The lab\n\nError at the moment a program reads (`build/bin/accuracy --svg docs/lab`): the receiver, the "
      "driver with the \"Driving\" defaults, the driver with HonestStill and AutoLag (\"new\"), and with Smooth as well "
      "(\"smooth\"). The floor is the receiver's own noise: its mean error at each fix's epoch, as with no latency at "
      "all. Each row takes " + std::to_string(g_runs) + " noise draws together; a picture shows the first.\n\n";
  if (WritePictures(tracks, svgDir, &index)) return 1;
  index += "\n" + Table(rows, true);
  FILE* f = fopen((svgDir + "/index.md").c_str(), "w");
  if (!f || fputs(index.c_str(), f) < 0 || fclose(f) != 0) {
    fprintf(stderr, "accuracy: cannot write %s/index.md\n", svgDir.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {{"svg", required_argument, nullptr, 's'},
                                     {"capture", required_argument, nullptr, 'c'},
                                     {"truth", required_argument, nullptr, 't'},
                                     {"latency", required_argument, nullptr, 'l'},
                                     {"read-at", required_argument, nullptr, 'r'},
                                     {"runs", required_argument, nullptr, 'n'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
  std::string svg, capture, truth;
  long latency = 1000, readAt = 500, runs = g_runs;
  bool ok = true;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 's': svg = optarg; break;
      case 'c': capture = optarg; break;
      case 't': truth = optarg; break;
      case 'l': ok = TakesNumber("accuracy", "latency", &latency, 0, 60000)(optarg) == 0 && ok; break;
      case 'r': ok = TakesNumber("accuracy", "read-at", &readAt, 0, 60000)(optarg) == 0 && ok; break;
      case 'n': ok = TakesNumber("accuracy", "runs", &runs, 1, 1000)(optarg) == 0 && ok; break;
      case 'h': fputs(kUsage, stdout); return 0;
      case 'V': return PrintVersion("accuracy");
      default: return RefuseOption("accuracy", argv);
    }
  }
  if (!ok) return 1;
  g_runs = static_cast<int>(runs);
  if (optind < argc) {
    fprintf(stderr, "accuracy: unexpected argument %s\n", argv[optind]);
    return 1;
  }
  if (capture.empty() && !truth.empty()) {
    fprintf(stderr, "accuracy: --truth belongs to a --capture\n");
    return 1;
  }
  char root[] = "/tmp/ferrox-accuracy-XXXXXX";
  if (!mkdtemp(root)) {
    fprintf(stderr, "accuracy: cannot make a temporary data root\n");
    return 1;
  }
  PlatformSetRoot(root);  // the correction stage stores the last known position in the registry
  LogSetEnable(0);
  int rc = capture.empty() ? RunLab(svg) : RunCaptureLab(capture, truth, static_cast<DWORD>(latency),
                                                                   static_cast<DWORD>(readAt), svg);
  HarnessEnd();
  PlatformSetRoot(std::string(root) + "/none");
  std::filesystem::remove_all(root);
  return rc;
}
