// ferrox-sim receiver: a GPS receiver on a pseudo-terminal; ferrox-sim radio: a phone radio.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#include <getopt.h>
#include "platform/platform.h"
#include "support/geodesy.h"
#include "capture_replay.h"
#include "hostile_script.h"
#include "radio_sim.h"
#include "support/program_options.h"
#include "support/nmea_writer.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-sim receiver --link PATH [options]\n"
    "A GPS receiver on a pseudo-terminal: PATH becomes a symbolic link to its serial device, on\n"
    "which NMEA bursts ($GPRMC, $GPGGA, $GPGSA, $GPGSV, $GPVTG) follow a route. It runs on the\n"
    "platform clock, so FERROX_TIME_SCALE makes it run faster. Ends on SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH          the symbolic link to make (replaced if it exists)\n"
    "  --rate HZ            bursts per second (default 1)\n"
    "  --route line|circle  a straight line along --heading, or a circle of --radius m around\n"
    "                       --start (default line)\n"
    "  --track FILE         follow the points of FILE (\"lat,lon\" per line) instead, looping\n"
    "  --start LAT,LON      where the route starts (default 48.137,11.575)\n"
    "  --speed KMH          speed along the route (default 50)\n"
    "  --heading DEG        course of the line (default 90)\n"
    "  --radius M           radius of the circle (default 200)\n"
    "  --latency MS         reporting latency: each fix is the true position this long before it is\n"
    "                       sent (default 0)\n"
    "  --noise M            position noise per axis, metres (default 0)\n"
    "  --seed N             random seed of the noise (default 1)\n"
    "  --no-fix-for S       send bursts without a fix for the first S seconds (default 0)\n"
    "  --sats N             satellites in view, at most 12 (default 8)\n"
    "  --replay CAPTURE     play a recorded capture instead, burst by burst at the pace of its\n"
    "                       sentences' times (--rate where they give none)\n"
    "  --baud N             the receiver talks at N baud (4800 ... 115200): a reader whose side of\n"
    "                       the terminal is at another speed reads garbled bytes (default: any)\n"
    "  --script PHASES      go wrong on cue: KIND:SECONDS,... from the start, then good. KIND is\n"
    "                       good, speed-inf (RMC speed \"inf\"), speed-nan (RMC speed and GGA\n"
    "                       separation \"nan\"), sep-nan, lat-9999 (latitude 9999.9999), gsa-mode-9,\n"
    "                       gsv-count (999 in view), gsv-values (elevation 500, azimuth 999, SNR\n"
    "                       200), each with right checksums, or junk (bytes that only look like NMEA)\n"
    "  --truth FILE         write the true position every 100 ms: ISO time, lat, lon\n"
    "  --duration S         stop after S seconds (default: run until stopped)\n"
    "  --version            print the version\n"
    "  --help               this text\n";

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
  std::string link, track, replay, truth, script, route = "line";
  double rate = 1, lat = 48.137, lon = 11.575, speedKmh = 50, heading = 90, radius = 200, noise = 0;
  double latencyMs = 0, noFixFor = 0, duration = 0;
  unsigned seed = 1;
  int sats = 8;
};

struct Route {
  const Options& o;
  std::vector<std::pair<double, double>> points;  // track file, metres from the start
  // True position (metres east and north of the start) and course after `t` seconds.
  void At(double t, double* x, double* y, double* course) const {
    double v = o.speedKmh / 3.6, s = v * t;
    if (!points.empty() && points.size() > 1) {
      double total = 0;
      for (size_t i = 1; i < points.size(); ++i)
        total += std::hypot(points[i].first - points[i - 1].first, points[i].second - points[i - 1].second);
      if (total <= 0) total = 1;
      s = std::fmod(s, total);
      for (size_t i = 1; i < points.size(); ++i) {
        double dx = points[i].first - points[i - 1].first, dy = points[i].second - points[i - 1].second;
        double len = std::hypot(dx, dy);
        if (s <= len || i + 1 == points.size()) {
          double f = len > 0 ? s / len : 0;
          *x = points[i - 1].first + dx * f;
          *y = points[i - 1].second + dy * f;
          *course = std::fmod(std::atan2(dx, dy) * RAD_TO_DEG + 360, 360);
          return;
        }
        s -= len;
      }
    }
    if (o.route == "circle") {
      double a = s / o.radius;  // clockwise from north
      *x = o.radius * std::sin(a);
      *y = o.radius * std::cos(a);
      *course = std::fmod(a * RAD_TO_DEG + 90, 360);
      return;
    }
    *x = s * std::sin(o.heading * DEG_TO_RAD);
    *y = s * std::cos(o.heading * DEG_TO_RAD);
    *course = o.heading;
  }
};

double Lat(const Options& o, double y) { return o.lat + y / (EARTH_RADIUS_M * DEG_TO_RAD); }
double Lon(const Options& o, double x) { return o.lon + x / (EARTH_RADIUS_M * DEG_TO_RAD * std::cos(o.lat * DEG_TO_RAD)); }

double NowSeconds() {
  SYSTEMTIME st;
  FILETIME ft;
  GetSystemTime(&st);
  SystemTimeToFileTime(&st, &ft);
  return static_cast<double>(FileTimeToU64(ft) - kFileTimeUnixEpoch) / 1e7;
}

SYSTEMTIME TimeOf(double seconds) {
  FILETIME ft = U64ToFileTime(static_cast<ULONGLONG>(std::llround(seconds * 1000)) * kFileTimePerMs + kFileTimeUnixEpoch);
  SYSTEMTIME st;
  FileTimeToSystemTime(&ft, &st);
  return st;
}

// Drops what nobody read, as a receiver's line does while no one listens.
// The receiver's speed (--baud): a reader whose side of the terminal is set to another speed
// gets what a UART at the wrong speed gives, bytes that are no sentences. 0: any speed.
long g_baud = 0;

void Send(int master, int slave, const std::string& text) {
  int queued = 0;
  if (ioctl(slave, FIONREAD, &queued) == 0 && queued > 2048) tcflush(slave, TCIFLUSH);
  std::string out = text;
  termios tio;
  static speed_t seen = B0;
  if (g_baud && tcgetattr(master, &tio) == 0 && cfgetospeed(&tio) != seen) {
    // The reader changed its speed: what it had not read yet came at the old one.
    seen = cfgetospeed(&tio);
    tcflush(slave, TCIFLUSH);
  }
  speed_t wanted = static_cast<speed_t>(PlatformTermiosSpeed(static_cast<DWORD>(g_baud)));
  if (g_baud && tcgetattr(master, &tio) == 0 && cfgetospeed(&tio) != wanted) {
    static unsigned seed = 12345;
    for (char& c : out) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(0x80 | (seed >> 16 & 0x7F));  // framing errors: high, never '$'
    }
  }
  ssize_t n = write(master, out.data(), out.size());
  (void)n;
}

std::string Burst(const FixRecord& f) {
  char s[kNmeaBatchSize];
  std::string out;
  MakeGPRMC(&f, s, sizeof s);
  out += s;
  MakeGPGGA(&f, s, sizeof s);
  out += s;
  MakeGPGSA(&f, s, sizeof s);
  out += s;
  for (int page = 0; page < 3; ++page)
    if (MakeGPGSV(page, &f, s, sizeof s)) out += s;
  MakeGPVTG(&f, s, sizeof s);
  out += s;
  return out;
}

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-sim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc >= 2 && !strcmp(argv[1], "--version")) return PrintVersion("ferrox-sim");
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    fputs("\n", argc < 2 ? stderr : stdout);
    fputs(kRadioUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 1 : 0;
  }
  if (strcmp(argv[1], "radio") == 0) return RadioSimMain(argc, argv);
  if (strcmp(argv[1], "receiver") != 0) return Fail(std::string("unknown simulator ") + argv[1] + " (see --help)");
  static const option kOptions[] = {{"link", required_argument, nullptr, 'l'},
                                     {"rate", required_argument, nullptr, 'r'},
                                     {"route", required_argument, nullptr, 'R'},
                                     {"track", required_argument, nullptr, 't'},
                                     {"start", required_argument, nullptr, 'S'},
                                     {"speed", required_argument, nullptr, 'v'},
                                     {"heading", required_argument, nullptr, 'H'},
                                     {"radius", required_argument, nullptr, 'a'},
                                     {"latency", required_argument, nullptr, 'L'},
                                     {"noise", required_argument, nullptr, 'n'},
                                     {"seed", required_argument, nullptr, 's'},
                                     {"no-fix-for", required_argument, nullptr, 'N'},
                                     {"sats", required_argument, nullptr, 'k'},
                                     {"replay", required_argument, nullptr, 'p'},
                                     {"baud", required_argument, nullptr, 'b'},
                                     {"truth", required_argument, nullptr, 'T'},
                                     {"script", required_argument, nullptr, 'x'},
                                     {"duration", required_argument, nullptr, 'd'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 2;  // after "receiver"
  for (int c; (c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    const char* v = optarg;
    switch (c) {
      case 'l': o.link = v; break;
      case 'r': o.rate = atof(v); break;
      case 'R': o.route = v; break;
      case 't': o.track = v; break;
      case 'S':
        if (sscanf(v, "%lf,%lf", &o.lat, &o.lon) != 2) return Fail("--start takes LAT,LON");
        break;
      case 'v': o.speedKmh = atof(v); break;
      case 'H': o.heading = atof(v); break;
      case 'a': o.radius = atof(v); break;
      case 'L': o.latencyMs = atof(v); break;
      case 'n': o.noise = atof(v); break;
      case 's': o.seed = static_cast<unsigned>(atol(v)); break;
      case 'N': o.noFixFor = atof(v); break;
      case 'k': o.sats = atoi(v); break;
      case 'p': o.replay = v; break;
      case 'b':
        g_baud = atol(v);
        if (PlatformTermiosSpeed(static_cast<DWORD>(g_baud)) == B0)
          return Fail("--baud takes 4800, 9600, 19200, 38400, 57600 or 115200");
        break;
      case 'T': o.truth = v; break;
      case 'x': o.script = v; break;
      case 'd': o.duration = atof(v); break;
      case 'h': fputs(kUsage, stdout); return 0;
      default: return RefuseOption("ferrox-sim", argv);
    }
  }
  if (optind < argc) return Fail(std::string("unexpected argument ") + argv[optind] + " (see --help)");
  if (o.link.empty()) return Fail("--link PATH is required");
  if (!(o.rate > 0 && o.rate <= 50)) return Fail("--rate must lie in (0, 50]");
  if (o.route != "line" && o.route != "circle") return Fail("--route is line or circle");
  if (o.radius <= 0) return Fail("--radius must be positive");
  if (o.sats < 0 || o.sats > 12) return Fail("--sats must lie in 0..12");
  Route route{o, {}};
  if (!o.track.empty()) {
    FILE* f = fopen(o.track.c_str(), "r");
    if (!f) return Fail("cannot read " + o.track);
    double la, lo;
    char line[256];
    while (fgets(line, sizeof line, f))
      if (sscanf(line, "%lf,%lf", &la, &lo) == 2)
        route.points.push_back({(lo - o.lon) * EARTH_RADIUS_M * DEG_TO_RAD * std::cos(o.lat * DEG_TO_RAD),
                                (la - o.lat) * EARTH_RADIUS_M * DEG_TO_RAD});
    fclose(f);
    if (route.points.size() < 2) return Fail(o.track + " holds fewer than two points");
  }
  std::vector<HostilePhase> phases;
  if (!o.script.empty()) {
    std::string error;
    if (!ParseHostileScript(o.script, &phases, &error)) return Fail("--script: " + error);
  }
  std::vector<ReplayBurst> replay;
  if (!o.replay.empty()) {
    bool ok;
    replay = ReadReplayBursts(o.replay, 1.0 / o.rate, &ok);
    if (!ok) return Fail("cannot read " + o.replay);
    if (replay.empty()) return Fail(o.replay + " holds no NMEA sentences");
  }
  FILE* truth = nullptr;
  if (!o.truth.empty() && !(truth = fopen(o.truth.c_str(), "w"))) return Fail("cannot write " + o.truth);
  int master, slave;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return Fail(std::string("cannot make a pseudo-terminal: ") + strerror(errno));
  termios tio;
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  // With --baud the line starts at a speed no receiver uses: until a reader sets the right one,
  // what it would find queued is garbled, as on a real port.
  if (g_baud) {
    cfsetispeed(&tio, B50);
    cfsetospeed(&tio, B50);
  }
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  unlink(o.link.c_str());
  if (symlink(name, o.link.c_str()) != 0) return Fail("cannot make the link " + o.link + ": " + strerror(errno));
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  fprintf(stderr, "ferrox-sim: receiver on %s (%s)\n", o.link.c_str(), name);
  std::mt19937_64 rng(o.seed);
  std::normal_distribution<double> unit(0, 1);
  const double start = NowSeconds(), period = 1.0 / o.rate;
  double nextBurst = start, nextTruth = start;
  size_t cycle = 0;
  std::string phase;
  while (!g_stop) {
    double now = NowSeconds();
    if (o.duration > 0 && now - start >= o.duration) break;
    if (truth && now >= nextTruth) {
      double x, y, c;
      route.At(nextTruth - start, &x, &y, &c);
      SYSTEMTIME t = TimeOf(nextTruth);
      fprintf(truth, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ %.9f %.9f\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
              t.wSecond, t.wMilliseconds, Lat(o, y), Lon(o, x));
      fflush(truth);
      nextTruth += 0.1;
    }
    if (now >= nextBurst) {
      if (!replay.empty()) {
        const ReplayBurst& b = replay[cycle++ % replay.size()];
        Send(master, slave, b.text);
        nextBurst += b.gap - period;  // the capture's own pace
      } else {
        double fixTime = nextBurst - o.latencyMs / 1000.0;
        double x, y, course;
        route.At(fixTime - start, &x, &y, &course);
        FixRecord f{};
        f.UtcTime = TimeOf(fixTime);
        bool fix = now - start >= o.noFixFor;
        if (fix) {
          f.Latitude = Lat(o, y + o.noise * unit(rng));
          f.Longitude = Lon(o, x + o.noise * unit(rng));
          f.Speed = static_cast<float>(o.speedKmh);
          f.Heading = static_cast<float>(course);
          f.FixQuality = 1;
          f.FixType = 2;
          f.SatelliteCount = static_cast<DWORD>(o.sats);
          f.AltitudeSeaLevel = 520.0f;
          f.Separation = 47.0f;
          f.Pdop = 1.8f;
          f.Hdop = 1.0f;
          f.Vdop = 1.5f;
          for (int i = 0; i < o.sats && i < 12; ++i) f.UsedPrns[i] = static_cast<DWORD>(2 + 3 * i);
        }
        f.SatellitesInView = static_cast<DWORD>(o.sats);
        for (int i = 0; i < o.sats; ++i) {
          f.InViewPrns[i] = static_cast<DWORD>(2 + 3 * i);
          f.InViewElevation[i] = static_cast<DWORD>(15 + 6 * i);
          f.InViewAzimuth[i] = static_cast<DWORD>(30 * i);
          f.InViewSnr[i] = fix ? 40 : 0;
        }
        std::string kind = HostilePhaseAt(phases, now - start);
        if (!phases.empty() && kind != phase) {  // the time of day, as the receiver's sentences carry it
          SYSTEMTIME t = TimeOf(now);
          fprintf(stderr, "ferrox-sim: phase %s at %02u%02u%02u.%03u\n", kind.c_str(), t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
          phase = kind;
        }
        Send(master, slave, HostileBurst(Burst(f), kind, rng));
      }
      nextBurst += period;
    }
    Sleep(20);
  }
  if (truth) fclose(truth);
  unlink(o.link.c_str());
  close(master);
  close(slave);
  return 0;
}
