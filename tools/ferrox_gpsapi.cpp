// ferrox-gpsapi: positions through one of the GPS API libraries, as a program using it sees them.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "platform/gps_api.h"
#include "platform/platform.h"
#include "support/c_numbers.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-gpsapi [--root DIR] watch [--client | --shim | --platform] [--count N] [--max-age MS]\n"
    "Prints each new position a program gets through a GPS API library:\n"
    "  --client     PosClient, through the GPS Intermediate Driver's device GPD0: (the default)\n"
    "  --shim       PosShim, served from the Ferrox driver's virtual port (frxd must run)\n"
    "  --platform   the platform's own library, over gpsd (Software\\Quorvale\\Gpsd Host, Port)\n"
    "  --count N    stop after N positions (default: until SIGINT or SIGTERM)\n"
    "  --max-age MS the oldest position taken (default 2000)\n"
    "Each line: UTC time, latitude, longitude (degrees), speed (knots), course, fix type, satellites.\n"
    "Exit status: 0 on success, 1 with a one-line message on stderr otherwise.\n";

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
  printf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s %s %s %s %dD %u\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
         t.wSecond, t.wMilliseconds, lat, lon, speed, course, p.FixType == GPS_FIX_3D ? 3 : p.FixType == GPS_FIX_2D ? 2 : 0,
         p.dwSatelliteCount);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const char16_t* library = u"PosClient.dll";
  long count = 0, maxAge = 2000;
  bool watch = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (a == "watch") watch = true;
    else if (a == "--client") library = u"PosClient.dll";
    else if (a == "--shim") library = u"gpsapi.dll";
    else if (a == "--platform") library = u"gpsapiOrig.dll";
    else if ((a == "--count" || a == "--max-age" || a == "--root") && i + 1 < argc) {
      const char* v = argv[++i];
      char* end = nullptr;
      long n = a == "--root" ? 0 : strtol(v, &end, 10);
      if (a == "--root") PlatformSetRoot(v);
      else if (!end || *end || n < 0) return Fail(a + " takes a number");
      else (a == "--count" ? count : maxAge) = n;
    } else {
      return Fail("unknown argument " + a + " (see --help)");
    }
  }
  if (!watch) {
    fputs(kUsage, stderr);
    return 1;
  }
  HMODULE m = LoadLibraryW(library);
  if (!m) return Fail("cannot load " + WideToUtf8(library));
  GpsApiCalls api;
  if (!ResolveGpsApiCalls(m, &api)) return Fail(WideToUtf8(library) + " lacks the GPS API calls");
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE device = api.open(event, nullptr, nullptr, 0);
  if (!device) return Fail("the device does not open (error " + std::to_string(GetLastError()) + ")");
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
