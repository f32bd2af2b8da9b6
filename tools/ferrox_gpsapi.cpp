// ferrox-gpsapi: positions through one of the GPS API libraries, as a program using it sees them.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <getopt.h>
#include "platform/gps_api.h"
#include "gpsd_feed.h"
#include "platform/device_protocol.h"
#include "platform/platform.h"
#include "support/program_options.h"
#include "support/c_numbers.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-gpsapi [--root DIR] watch [--client | --shim | --platform] [--count N] [--max-age MS]\n"
    "Prints each new position a program gets through a GPS API library:\n"
    "  --shim       PosShim, served from the Ferrox driver's virtual port (the default; frxd must run)\n"
    "  --client     PosClient, through the GPS Intermediate Driver's device GPD0:, whose input is\n"
    "               the platform's library over gpsd (gpsd must run)\n"
    "  --platform   the platform's own library, over gpsd (Software\\Quorvale\\Gpsd Host, Port)\n"
    "  --count N    stop after N positions (default: until SIGINT or SIGTERM)\n"
    "  --max-age MS the oldest position taken (default 2000)\n"
    "  --root DIR   the data root (default: as frxd's, ~/.local/share/ferrox)\n"
    "  --version    print the version\n"
    "  --help       this text\n"
    "Each line: UTC time, latitude, longitude (degrees), speed (knots), course, fix type, satellites,\n"
    "fix quality (Q0 no fix, Q1 GPS, Q2 differential).\n"
    "Exit status: 0 on success, 1 with a one-line message on stderr otherwise (within 2 s when frxd\n"
    "or gpsd is not there).\n";

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-gpsapi: %s\n", message.c_str());
  return 1;
}

void Print(const GPS_POSITION& p) {
  char lat[32] = "-", lon[32] = "-", speed[32] = "-", course[32] = "-";
  if (p.dwValidFields & GPS_VALID_LATITUDE) FormatCNumber(lat, sizeof lat, "%.7f", p.dblLatitude);
  if (p.dwValidFields & GPS_VALID_LONGITUDE) FormatCNumber(lon, sizeof lon, "%.7f", p.dblLongitude);
  if (p.dwValidFields & GPS_VALID_SPEED) FormatCNumber(speed, sizeof speed, "%.3f", p.flSpeed);
  if (p.dwValidFields & GPS_VALID_HEADING) FormatCNumber(course, sizeof course, "%.1f", p.flHeading);
  const SYSTEMTIME& t = p.stUTCTime;
  printf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s %s %s %s %dD %u Q%d\n", t.wYear, t.wMonth, t.wDay, t.wHour,
         t.wMinute, t.wSecond, t.wMilliseconds, lat, lon, speed, course,
         p.FixType == GPS_FIX_3D ? 3 : p.FixType == GPS_FIX_2D ? 2 : 0, p.dwSatelliteCount, static_cast<int>(p.FixQuality));
  fflush(stdout);
}

// The peer the chosen library needs, or a one-line reason it is missing ("" when it answers).
std::string MissingPeer(const char16_t* library) {
  if (std::u16string(library) == u"gpsapi.dll") {
    if (!PlatformHostRunning()) return "frxd is not running on " + PlatformRoot();
    return "";
  }
  GpsdSettings gpsd = ReadGpsdSettings();
  if (!GpsdReachable()) return "gpsd not reachable at " + gpsd.host + ":" + gpsd.port;
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  const char16_t* library = u"gpsapi.dll";
  long count = 0, maxAge = 2000;
  bool watch = false;
  auto uses = [&library](const char16_t* name) {
    return [&library, name](const char*) {
      library = name;
      return 0;
    };
  };
  int done = ReadProgramOptions(argc, argv, "ferrox-gpsapi", kUsage,
                                {{"client", false, uses(u"PosClient.dll")},
                                 {"shim", false, uses(u"gpsapi.dll")},
                                 {"platform", false, uses(u"gpsapiOrig.dll")},
                                 {"count", true, TakesNumber("ferrox-gpsapi", "count", &count, 0, 1000000000)},
                                 {"max-age", true, TakesNumber("ferrox-gpsapi", "max-age", &maxAge, 0, 1000000000)}},
                                OPTIONS_WITH_ROOT);
  if (done >= 0) return done;
  for (int i = optind; i < argc; ++i) {
    if (strcmp(argv[i], "watch") != 0) return Fail(std::string("unknown argument ") + argv[i] + " (see --help)");
    watch = true;
  }
  if (!watch) {
    fputs(kUsage, stderr);
    return 1;
  }
  if (RefuseMissingRoot("ferrox-gpsapi")) return 1;
  std::string missing = MissingPeer(library);
  if (!missing.empty()) return Fail(missing);
  HMODULE m = LoadLibraryW(library);
  if (!m) return Fail("cannot load " + WideToUtf8(library));
  GpsApiCalls api;
  if (!ResolveGpsApiCalls(m, &api)) return Fail(WideToUtf8(library) + " lacks the GPS API calls");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE device = api.open(event, nullptr, nullptr, 0);
  if (!device) return Fail("the device does not open: " + PlatformErrorText(GetLastError()));
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  SYSTEMTIME last{};
  long printed = 0;
  while (!g_stop && (count == 0 || printed < count)) {
    WaitForSingleObject(event, 1000);  // a library that sets no event is asked once a second
    GPS_POSITION p{};
    p.dwVersion = GPS_VERSION_1;
    p.dwSize = sizeof p;
    if (api.getPosition(device, &p, static_cast<DWORD>(maxAge), 0) != ERROR_SUCCESS) continue;
    if (!(p.dwValidFields & GPS_VALID_LATITUDE) || memcmp(&p.stUTCTime, &last, sizeof last) == 0) continue;
    last = p.stUTCTime;
    Print(p);
    ++printed;
  }
  api.close(device);
  CloseHandle(event);
  return 0;
}
