// ferrox-decode: NMEA in, one decoded record (JSON) or one generated batch (NMEA) per read cycle.
#include <getopt.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include "platform/platform.h"
#include "capture_cycles.h"
#include "pipeline_harness.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "support/program_options.h"
#include "support/nmea_check.h"
#include "support/nmea_writer.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-decode [--json | --nmea | --correct] [options] [FILE]\n"
    "Reads NMEA 0183 from FILE (or standard input), passes every line that starts with '$' to the\n"
    "driver's parser and prints one line per read cycle. Lines starting with '#' are comments.\n"
    "\n"
    "A read cycle is what one burst of a serial receiver carries. The record is zeroed at the start\n"
    "of each cycle, and a new cycle starts at a GGA, RMC, GNS or GLL whose time field differs from\n"
    "the time of the current cycle, or that repeats a sentence (talker and type) the current cycle\n"
    "already has.\n"
    "\n"
    "Two readings, as the driver has them (its registry value StrictNmea):\n"
    "  default   every talker ($GP $GN $GL $GA $GB $BD $GQ $QZ $GI) of GGA, RMC, GSA, GSV, VTG, GLL\n"
    "            and GNS. A cycle follows the combined $GN solution when the receiver sends one;\n"
    "            the used satellites of several GSA are joined and the satellites of several GSV\n"
    "            merged (used ones first, then by SNR, into twelve slots; the count stays true);\n"
    "            a receiver that sends GSA rarely keeps its last fix type and DOPs for five\n"
    "            cycles, and one that never does gets its fix type from GGA, GNS or RMC.\n"
    "  --strict  only $GP GGA, RMC, GSA, GSV and VTG, each sentence read by itself; cycles start\n"
    "            at $GPGGA and $GPRMC (an empty time counts as a new one). A receiver that sends\n"
    "            $GP GGA, RMC and GSA in every cycle gives the same output in both readings.\n"
    "\n"
    "  --json   (default) one JSON object per cycle: time (ISO 8601 UTC, null without time and\n"
    "           date), valid (hex), lat, lon, alt, sep, speed_kmh, course, magvar, maghead,\n"
    "           quality, fixtype, used, inview, pdop, hdop, vdop, prns (used), sats ({prn, el,\n"
    "           az, snr} per filled in-view slot)\n"
    "  --nmea   the batch the driver prints for that record: $GPRMC, $GPVTG, $GPGGA, $GPGSA,\n"
    "           $PGRMT and $GPGSV pages 1 to 3\n"
    "  --correct  run each cycle through the driver's correction stage and print, as JSON, what a\n"
    "           program reading the port receives --read-at ms after the cycle arrived (the\n"
    "           driver's clock follows the GPS, so it reads the fix time when the cycle arrives)\n"
    "  --check  check written NMEA instead (what frxd serves): each '$' line well formed, its\n"
    "           checksum right and every field within its rule; exit 1 at the first fault, named\n"
    "  --check  check written NMEA instead (what frxd serves): each '$' line well formed, its\n"
    "           checksum right and every field within its rule; exit 1 at the first fault, named\n"
    "  --read-at MS   when the program reads after the arrival (default 500)\n"
    "  --profile N    the profile defaults used by --correct: 1 Driving (default), 2 Walking\n"
    "  --strict       the strict reading (see above)\n"
    "  --version      print the version\n"
    "  --help         this text\n"
    "Other sentences (proprietary, other types) are skipped.\n"
    "Exit status 0, or 1 with a one-line message when the input cannot be read.\n";

enum Mode { JSON, NMEA, CORRECT, CHECK };

// --check: every line that starts with '$' is a written sentence that must pass the check.
int CheckSentences(FILE* in) {
  char line[512], why[256];
  long count = 0, number = 0;
  while (fgets(line, sizeof line - 2, in)) {
    ++number;
    size_t len = strcspn(line, "\r\n");
    if (line[0] != '$') continue;
    memcpy(line + len, "\r\n", 3);
    if (!CheckNmeaSentence(line, len + 2, why, sizeof why)) {
      printf("line %ld: %s\n", number, why);
      return 1;
    }
    ++count;
  }
  printf("%ld sentences checked\n", count);
  return 0;
}

struct CorrectOptions {
  DWORD readAt = 500;
  bool started = false;
};
CorrectOptions g_correct;
std::string g_root;

// Appends a number, or null when it is not finite.
int Number(char* out, size_t size, const char* name, double v, int decimals) {
  if (!std::isfinite(v)) return snprintf(out, size, ",\"%s\":null", name);
  return snprintf(out, size, ",\"%s\":%.*f", name, decimals, v);
}

void PrintJson(const FixRecord& f, FILE* out) {
  char line[2048];
  size_t n = 0;
  auto room = [&]() { return n < sizeof line ? sizeof line - n : 0; };
  auto add = [&](int k) { n += k > 0 ? static_cast<size_t>(k) : 0; if (n > sizeof line) n = sizeof line; };
  const SYSTEMTIME& t = f.UtcTime;
  if ((f.ValidFields & (FIX_TIME | FIX_DATE)) == (FIX_TIME | FIX_DATE))
    add(snprintf(line, room(), "{\"time\":\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"", t.wYear, t.wMonth, t.wDay, t.wHour,
                 t.wMinute, t.wSecond, t.wMilliseconds));
  else
    add(snprintf(line, room(), "{\"time\":null"));
  add(snprintf(line + n, room(), ",\"valid\":\"0x%X\"", f.ValidFields));
  add(Number(line + n, room(), "lat", f.Latitude, 9));
  add(Number(line + n, room(), "lon", f.Longitude, 9));
  add(Number(line + n, room(), "alt", f.AltitudeSeaLevel, 3));
  add(Number(line + n, room(), "sep", f.Separation, 3));
  add(Number(line + n, room(), "speed_kmh", f.Speed, 4));
  add(Number(line + n, room(), "course", f.Heading, 4));
  add(Number(line + n, room(), "magvar", f.MagVariation, 4));
  add(Number(line + n, room(), "maghead", f.MagHeading, 4));
  add(snprintf(line + n, room(), ",\"quality\":%u,\"fixtype\":%u,\"used\":%u,\"inview\":%u", f.FixQuality, f.FixType,
               f.SatelliteCount, f.SatellitesInView));
  add(Number(line + n, room(), "pdop", f.Pdop, 2));
  add(Number(line + n, room(), "hdop", f.Hdop, 2));
  add(Number(line + n, room(), "vdop", f.Vdop, 2));
  add(snprintf(line + n, room(), ",\"prns\":["));
  bool first = true;
  for (DWORD prn : f.UsedPrns)
    if (prn) {
      add(snprintf(line + n, room(), first ? "%u" : ",%u", prn));
      first = false;
    }
  add(snprintf(line + n, room(), "],\"sats\":["));
  first = true;
  for (int s = 0; s < kMaxSatellites; ++s)
    if (f.InViewPrns[s]) {
      add(snprintf(line + n, room(), "%s{\"prn\":%u,\"el\":%d,\"az\":%d,\"snr\":%d}", first ? "" : ",",
                   f.InViewPrns[s], static_cast<int>(f.InViewElevation[s]), static_cast<int>(f.InViewAzimuth[s]),
                   static_cast<int>(f.InViewSnr[s])));
      first = false;
    }
  add(snprintf(line + n, room(), "]}\n"));
  fputs(line, out);
}

// The cycle arrives at the driver, then a program reads the port.
void Correct(FixRecord f, FILE* out) {
  if ((f.ValidFields & (FIX_TIME | FIX_DATE)) != (FIX_TIME | FIX_DATE)) return;
  SYSTEMTIME arrival = f.UtcTime;  // the GPS clock check puts the fix time on the arrival
  if (!g_correct.started) HarnessBegin(&arrival, 1);
  else HarnessSetNow(&arrival);
  g_correct.started = true;
  HarnessFeed(&f);
  HarnessAdvance(g_correct.readAt);
  FixRecord output{};
  HarnessRead(&output);
  PrintJson(output, out);
}

void PrintCycle(const FixRecord& f, Mode mode, FILE* out) {
  if (mode == CORRECT) {
    Correct(f, out);
  } else if (mode == JSON) {
    PrintJson(f, out);
  } else {
    char batch[kNmeaBatchSize];
    MakeNmeaBatch(&f, batch, sizeof batch);
    fputs(batch, out);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Mode mode = JSON;
  DWORD profile = 1;
  bool strict = false;
  const char* path = nullptr;
  long readAt = g_correct.readAt, profileNumber = 1;
  auto sets = [&mode](Mode m) {
    return [&mode, m](const char*) {
      mode = m;
      return 0;
    };
  };
  int done = ReadProgramOptions(argc, argv, "ferrox-decode", kUsage,
                                {{"json", false, sets(JSON)},
                                 {"nmea", false, sets(NMEA)},
                                 {"correct", false, sets(CORRECT)},
                                 {"check", false, sets(CHECK)},
                                 {"strict", false, SetsFlag(&strict)},
                                 {"read-at", true, TakesNumber("ferrox-decode", "read-at", &readAt, 0, 60000)},
                                 {"profile", true, TakesNumber("ferrox-decode", "profile", &profileNumber, 1, 2)}},
                                0);
  if (done >= 0) return done;
  g_correct.readAt = static_cast<DWORD>(readAt);
  profile = static_cast<DWORD>(profileNumber);
  if (argc - optind > 1) {
    fprintf(stderr, "ferrox-decode: only one input file\n");
    return 1;
  }
  if (optind < argc) path = argv[optind];
  if (mode == CORRECT) {
    // A private data root: the correction stage stores the last known position in the registry.
    char root[] = "/tmp/ferrox-decode-XXXXXX";
    if (!mkdtemp(root)) {
      fprintf(stderr, "ferrox-decode: cannot make a temporary data root\n");
      return 1;
    }
    g_root = root;
    PlatformSetRoot(root);
    SetProfileDefaults(profile);
    g_System.CurrentProfile = profile;
  }
  FILE* in = stdin;
  if (path && strcmp(path, "-") != 0) {
    in = fopen(path, "rb");
    if (!in) {
      fprintf(stderr, "ferrox-decode: cannot read %s: %s\n", path, strerror(errno));
      return 1;
    }
  }
  if (mode == CHECK) return CheckSentences(in);
  static char out[1 << 16];
  setvbuf(stdout, out, _IOFBF, sizeof out);
  bool failed = ReadCaptureCycles(in, strict, [](const FixRecord& f, void* m) {
    PrintCycle(f, *static_cast<Mode*>(m), stdout);
  }, &mode) != 0;
  if (mode == CORRECT) {
    HarnessEnd();
    PlatformSetRoot(g_root + "/none");  // closes the registry before the root goes
    std::filesystem::remove_all(g_root);
  }
  if (in != stdin) fclose(in);
  if (failed) {
    fprintf(stderr, "ferrox-decode: read error on %s\n", path ? path : "standard input");
    return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
