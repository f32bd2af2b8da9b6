// Source 0: the platform GPS API, loaded at run time ("gpsapiOrig.dll" first, so that the driver
// never reads its own output back through the replacement library).
#include <cstring>
#include "support/units.h"
#include "driver_internal.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "geoid.h"
#include "settings_store/settings.h"
#include "support/angles.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/nmea_writer.h"

HANDLE g_ApiEvent = nullptr;

namespace {

typedef HANDLE (*OpenDeviceFn)(HANDLE, HANDLE, const WCHAR*, DWORD);
typedef DWORD (*CloseDeviceFn)(HANDLE);
typedef DWORD (*GetPositionFn)(HANDLE, GPS_POSITION*, DWORD, DWORD);
typedef DWORD (*OtherFn)();

struct GpsApi {
  HMODULE library;
  OpenDeviceFn open;
  CloseDeviceFn close;
  GetPositionFn getPosition;
  FARPROC getDeviceState, getDeviceParam, setDeviceParam;
} g_api;

SYSTEMTIME g_previousFixTime;  // day 0: none

struct BigPosition {  // the 376-byte variant some platforms use
  GPS_POSITION position;
  BYTE extra[32];
};
static_assert(sizeof(BigPosition) == 376);

void Unload() {
  if (g_api.library) FreeLibrary(g_api.library);
  memset(&g_api, 0, sizeof g_api);
}

int Load() {
  LogLine(LOG_CRLF, "Open Gps Handle");
  if (!g_api.library) {
    g_api.library = LoadLibraryW(u"gpsapiOrig.dll");
    if (!g_api.library) {
      LogLine(LOG_CRLF, "Can't Load Original Gps Library");
      g_api.library = LoadLibraryW(u"gpsapi.dll");
      if (!g_api.library) {
        LogLine(LOG_CRLF, "Can't Load Gps Library");
        return 1;
      }
      // The GPS API library of this system serves the driver's own records: read as a source it
      // would feed the driver its own output. It names itself with this export.
      if (GetProcAddressW(g_api.library, u"FerroxOwnOutput")) {
        LogLine(LOG_CRLF, "Gps Library Is This System's Own Output: Not Used");
        Unload();
        return 1;
      }
    }
  }
  g_api.open = reinterpret_cast<OpenDeviceFn>(GetProcAddressW(g_api.library, u"GPSOpenDevice"));
  g_api.close = reinterpret_cast<CloseDeviceFn>(GetProcAddressW(g_api.library, u"GPSCloseDevice"));
  g_api.getPosition = reinterpret_cast<GetPositionFn>(GetProcAddressW(g_api.library, u"GPSGetPosition"));
  g_api.getDeviceState = GetProcAddressW(g_api.library, u"GPSGetDeviceState");
  g_api.getDeviceParam = GetProcAddressW(g_api.library, u"GPSGetDeviceParam");
  g_api.setDeviceParam = GetProcAddressW(g_api.library, u"GPSSetDeviceParam");
  if (!g_api.open || !g_api.close || !g_api.getPosition || !g_api.getDeviceState || !g_api.getDeviceParam ||
      !g_api.setDeviceParam) {
    LogLine(LOG_CRLF, "Can't Get Addresses");
    return 1;
  }
  return 0;
}

bool Ready() { return g_api.library && g_api.open && g_api.close && g_api.getPosition; }

DWORD GetPosition(GPS_POSITION* position, DWORD maximumAge) {
  if (!Ready() && Load() != 0) return 1;
  DWORD r = g_api.getPosition(SourceHandle(0), position, maximumAge, 0);
  if (r == ERROR_INVALID_PARAMETER) {
    BigPosition big{};
    big.position.dwVersion = 1;
    big.position.dwSize = sizeof big;
    r = g_api.getPosition(SourceHandle(0), &big.position, maximumAge, 0);
    LogLine(LOG_CRLF, "GetBigPosition");
    memcpy(position, &big.position, sizeof *position);
  }
  if (r != 0) LogPrintf(LOG_CRLF, "GetPosition Returned %d", r);
  return r;
}

// One position into the fix record; a positive count on success.
int ReadPosition(FixRecord* fix, DWORD maximumAge) {
  GPS_POSITION position{};
  position.dwVersion = GPS_VERSION_1;
  position.dwSize = sizeof position;
  if (GetPosition(&position, maximumAge) != 0) return 0;
  double variation = position.dblMagneticVariation;
  position.dwFlags = 0;
  static_assert(sizeof(GPS_POSITION) == sizeof(FixRecord));
  memcpy(fix, &position, sizeof *fix);
  if (fix->ValidFields & FIX_TIME) fix->ValidFields |= FIX_DATE;
  if (!(fix->ValidFields & FIX_ALTITUDE_SEA_LEVEL)) fix->AltitudeSeaLevel = 0;
  if (!(fix->ValidFields & FIX_SEPARATION)) fix->Separation = 0;
  fix->ValidFields |= FIX_ALTITUDE_GROUP;
  fix->Speed = position.flSpeed * kKmhPerKnot;
  // A variation or a course the platform did not give is none (not 0): a standstill then shows
  // no magnetic course rather than north.
  bool haveVariation = position.dwValidFields & GPS_VALID_MAGNETIC_VARIATION;
  fix->MagVariation = haveVariation ? static_cast<float>(variation) : 0;
  fix->MagHeading = static_cast<float>(AngleSum(fix->Heading, fix->MagVariation));
  fix->SourceKind = SOURCE_PLATFORM_API;
  if (haveVariation) fix->ValidFields |= FIX_MAG_VARIATION;
  if (fix->ValidFields & FIX_HEADING) fix->ValidFields |= FIX_MAG_HEADING;
  else fix->MagHeading = 0;
  if (LogEnable() != 0) {
    char text[kNmeaBatchSize];
    int n = MakeNmeaBatch(fix, text, sizeof text);
    LogPrintf(LOG_VERBOSE, "%s Data Return: %u (%u) [%s]\r\n", "MsApi", n, n, text);
    return n;
  }
  return static_cast<int>(sizeof(FixRecord));
}

bool Before(DWORD deadline) { return static_cast<LONG>(GetTickCount() - deadline) < 0; }

}  // namespace

int OpenApiSource(HANDLE locationEvent) {
  if (!Ready() && Load() != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  HANDLE device = g_api.open(locationEvent, nullptr, nullptr, 0);
  if (!device) return 0;
  g_ApiEvent = locationEvent;
  SetSourceHandle(0, device);
  return 1;
}

void CloseApiSource() {
  if (Ready() || Load() == 0) g_api.close(SourceHandle(0));
  Unload();
  if (g_ApiEvent) CloseHandle(g_ApiEvent);
  g_ApiEvent = nullptr;
}

int ReadApiSource(FixRecord* fix) {
  DWORD deadline = GetTickCount() + ReadPeriodMs();
  // "Fake lost fix" moves the deadline on, but a 10 Hz source without a fix must not keep the
  // read going for good: two read periods at the latest.
  const DWORD latest = GetTickCount() + 2 * ReadPeriodMs();
  while (Before(deadline)) {
    LogLine(LOG_CRLF, "Read MSApi data");
    // ReadSleep ends the read too: stopping the scan (which tests this source) is bounded.
    HANDLE waits[3] = {g_Driver.PollEvent, g_ApiEvent, g_Driver.ReadSleep};
    DWORD left = deadline - GetTickCount();
    DWORD r = WaitForMultipleObjects(g_Driver.ReadSleep ? 3 : 2, waits, FALSE, static_cast<LONG>(left) > 0 ? left : 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 2) return -1;
    if (r != WAIT_OBJECT_0 + 1) continue;
    int n = ReadPosition(fix, g_System.SleepTime + 300);
    FixHistory history;
    GetFixHistory(&history);
    if (history.HaveFirstFix && (fix->FixQuality == 0 || fix->FixType == 0)) {
      LogLine(LOG_CRLF, "Fake lost fix");
      deadline += 100;
      if (static_cast<LONG>(deadline - latest) > 0) deadline = latest;
      continue;
    }
    bool noTime = !(fix->ValidFields & FIX_TIME);
    if (g_previousFixTime.wDay == 0 || noTime || TimeDifference(&g_previousFixTime, &fix->UtcTime) > 100) {
      g_previousFixTime = fix->UtcTime;
      GpsClockCheck(fix, 0);
      InjectSeparation(fix, 0);
      return n;
    }
  }
  memset(&g_previousFixTime, 0, sizeof g_previousFixTime);
  return 0;
}
