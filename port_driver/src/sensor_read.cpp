// Opening and reading the phone's sensors: the maker library first, then the sensor device
// "SEN0:" (registered as a service when it is not there yet).
#include <cmath>
#include "driver_internal.h"
#include "platform/sensor_ioctl.h"
#include "platform/smi_sensors.h"
#include "compass.h"
#include "settings_store/settings.h"
#include "sensor_internal.h"
#include "support/log.h"

namespace {

constexpr uintptr_t kNoHardware = 0xFFFFFFFFu;
constexpr uintptr_t kSmiInUse = 0x68536469u;  // "idSh"
constexpr int kSmiMinAccuracy = 25;           // an answer at or below this has no usable heading
constexpr int kFailuresBeforeLost = 3;        // reads in a row without anything: the device is gone
constexpr double kPi = 3.14159265358979323846;
constexpr int kOneG = 1000;  // the sensor gives gravity in thousandths of g

HANDLE g_sensor = nullptr;
LONG g_capabilities = -1;
HMODULE g_smi = nullptr;
PFN_SmiIsPhoneSupported g_smiSupported = nullptr;
PFN_SmiOrientationGetState g_smiOrientation = nullptr;
PFN_Smi3DOrientationGetPosition g_smiPosition = nullptr;
volatile LONG g_opens = 0;
int g_failuresInARow = 0;
DWORD g_reopenDelay = 0;  // 0: open at once
DWORD g_reopenAt = 0;

bool IsHtc() {
  auto h = reinterpret_cast<uintptr_t>(g_sensor);
  return h != 0 && h != kNoHardware && h != kSmiInUse;
}

bool OpenSmi() {
  LogLine(LOG_CRLF, "Attempt to Open Samsung Sensor Port");
  g_sensor = reinterpret_cast<HANDLE>(kNoHardware);
  if (!g_smi) g_smi = LoadLibraryW(u"SamsungMobilesdk_2.dll");
  if (!g_smi) {
    LogLine(LOG_CRLF, "Can't Load Smi Library");
    return false;
  }
  g_smiSupported = reinterpret_cast<PFN_SmiIsPhoneSupported>(GetProcAddressW(g_smi, u"SmiIsPhoneSupported"));
  g_smiOrientation = reinterpret_cast<PFN_SmiOrientationGetState>(GetProcAddressW(g_smi, u"SmiOrientationGetState"));
  g_smiPosition =
      reinterpret_cast<PFN_Smi3DOrientationGetPosition>(GetProcAddressW(g_smi, u"Smi3DOrientationGetPosition"));
  if (!g_smiSupported || !g_smiOrientation || !g_smiPosition) {
    LogLine(LOG_CRLF, "Can't Get Addresses");
    return false;
  }
  if (!g_smiSupported()) {
    LogLine(LOG_CRLF, "Phone is not supported");
    return false;
  }
  g_capabilities = 0;
  int state;
  if (g_smiOrientation(&state) == SMI_SUCCESS) g_capabilities |= SENSOR_ORIENTATION;
  else LogLine(LOG_CRLF, "Can't Get Orientation");
  Smi3DPosition position;
  if (g_smiPosition(&position) == SMI_SUCCESS) g_capabilities |= SENSOR_COMPASS;
  else LogLine(LOG_CRLF, "Can't Get Compass Position");
  if (g_capabilities == 0) return false;
  g_sensor = reinterpret_cast<HANDLE>(kSmiInUse);
  return true;
}

HANDLE OpenDevice() {
  HANDLE h = CreateFileW(u"SEN0:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool DeviceCall(DWORD code, void* out, DWORD outLength, DWORD* got) {
  *got = 0;
  if (!IsHtc()) return false;
  return DeviceIoControl(g_sensor, code, nullptr, 0, out, outLength, got, nullptr) != FALSE;
}

bool OpenHtc() {
  LogLine(LOG_CRLF, "Attempt to Open HTC Sensor Port");
  HANDLE device = OpenDevice();
  if (!device) {
    LogLine(LOG_CRLF, "Attempt to Load HTC Sensor Service Dll");
    if (!RegisterService(u"SEN", 0, u"HTCSensorService.dll", 1)) {
      LogLine(LOG_CRLF, "HTC Service Dll can't be Loaded");
      return false;
    }
    device = OpenDevice();
    if (!device) {
      LogLine(LOG_CRLF, "HTC Sensor Port can't be Read");
      return false;
    }
  }
  g_sensor = device;
  g_capabilities = 0;
  SensorGReading g;
  DWORD got;
  if (!DeviceCall(IOCTL_SENSOR_READ_GSENSOR, &g, sizeof g, &got)) {
    LogPrintf(0, "G_Sensor IOCtl (fail) Read %d Bytes\r\n", static_cast<int>(got));
    CloseSensors();
  } else {
    g_capabilities |= SENSOR_ORIENTATION;
  }
  bool on = DeviceCall(IOCTL_SENSOR_COMPASS_ON, nullptr, 0, &got);
  if (!on) LogLine(LOG_CRLF, "HTC Compass IOCtl can't Init Compass");
  // The whole reading's length: a device that honours lengths returns nothing into less.
  SensorCompassReading c;
  bool read = DeviceCall(IOCTL_SENSOR_READ_COMPASS, &c, sizeof c, &got);
  if (!read) LogPrintf(0, "Compass IOCtl Test Read Failed: %d Bytes\r\n", static_cast<int>(got));
  if (on && read) g_capabilities |= SENSOR_COMPASS;
  if (g_capabilities == 0) {
    CloseSensors();
    return false;
  }
  return true;
}

// The maker library's orientation states as orientation codes.
LONG SmiOrientationCode(int state) {
  switch (state) {
    case SMI_ORIENTATION_FLAT: return ORIENT_FLAT;
    case SMI_ORIENTATION_FACE_DOWN: return ORIENT_FACE_DOWN;
    case SMI_ORIENTATION_LEFT_UP: return ORIENT_LEFT_LANDSCAPE;
    case SMI_ORIENTATION_RIGHT_UP: return ORIENT_RIGHT_LANDSCAPE;
    case SMI_ORIENTATION_UPSIDE_DOWN: return ORIENT_INVERTED_PORTRAIT;
    default: return ORIENT_PORTRAIT;
  }
}

int ReadSmi(SensorReading* r) {
  bool oriented = false;
  int state;
  if ((g_capabilities & SENSOR_ORIENTATION) && g_smiOrientation(&state) == SMI_SUCCESS) {
    r->Orientation = SmiOrientationCode(state);
    oriented = true;
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read Sensors, Orient: %d", static_cast<int>(r->Orientation));
  }
  Smi3DPosition p;
  if ((g_capabilities & SENSOR_COMPASS) && g_smiPosition(&p) == SMI_SUCCESS) {
    if (p.Accuracy > kSmiMinAccuracy) {
      r->Heading = p.Heading;
      r->Pitch = p.Pitch;
      r->Roll = p.Roll;
      r->HeadingRead = 1;
    }
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read Compass Heading: %d, Pitch: %d, Roll: %d, Accuracy: %d", p.Heading,
              p.Pitch, p.Roll, p.Accuracy);
    return 0;
  }
  return oriented ? 0 : 1;
}

int ReadHtc(SensorReading* r) {
  int failures = 0;
  bool oriented = false;
  DWORD got;
  if (g_capabilities & SENSOR_ORIENTATION) {
    SensorGReading g;
    if (!DeviceCall(IOCTL_SENSOR_READ_GSENSOR, &g, sizeof g, &got)) {
      LogPrintf(0, "G Sensor IOCtl (fail) Read %d Bytes\r\n", static_cast<int>(got));
      ++failures;
    } else {
      OrientationFromGravity(g.X, g.Y, g.Z, SensorSettingsNow().CompassAngle, r);
      oriented = true;
      LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read Sensors, O: %d, X: %d, Y: %d, Z: %d, P: %d, R: %d",
                static_cast<int>(r->Orientation), g.X, g.Y, g.Z, static_cast<int>(r->Pitch),
                static_cast<int>(r->Roll));
    }
  }
  if (g_capabilities & SENSOR_COMPASS) {
    SensorCompassReading c;
    if (DeviceCall(IOCTL_SENSOR_READ_COMPASS, &c, sizeof c, &got)) {
      r->Heading = c.Heading;
      r->HeadingRead = 1;
      LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read Compass: %d", c.Heading);
    } else {
      LogPrintf(0, "Compass IOCtl (fail) Read %d Bytes\r\n", static_cast<int>(got));
    }
    ++failures;
  }
  // A read that got nothing fails too: its zeroes are no orientation and no tilt.
  return failures >= 2 || (!oriented && !r->HeadingRead) ? 1 : 0;
}

}  // namespace

void OrientationFromGravity(int x, int y, int z, DWORD compassAngle, SensorReading* r) {
  int t = static_cast<int>(std::sin(compassAngle * kPi / 180) * kOneG);
  LONG o = ORIENT_UNKNOWN;
  if (x < -t) o = ORIENT_LEFT_LANDSCAPE;
  else if (x > t) o = ORIENT_RIGHT_LANDSCAPE;
  else if (y > t) o = ORIENT_PORTRAIT;
  else if (y < -t) o = ORIENT_INVERTED_PORTRAIT;
  else if (z > t) o = ORIENT_FACE_DOWN;
  else if (z < -t) o = ORIENT_FLAT;
  r->Orientation = o;
  auto degrees = [](int component) {
    int c = component < -kOneG ? -kOneG : component > kOneG ? kOneG : component;
    return static_cast<LONG>(std::acos(c / static_cast<double>(kOneG)) * 180 / kPi);
  };
  LONG ax = degrees(x), ay = degrees(y), az = degrees(z);
  r->Pitch = ay <= 90 ? 180 - az : az - 180;
  r->Roll = az <= 90 ? ax - 270 : ax - 90;
  // Right side up, the arc cosines give -270: the same tilt as 90, which the tilt switch needs.
  if (r->Roll < -180) r->Roll += 360;
}

int OpenSensors() {
  g_capabilities = -1;
  InterlockedIncrement(&g_opens);
  if (OpenSmi()) return 0;
  return OpenHtc() ? 0 : 1;
}

void CloseSensors() {
  LogLine(LOG_CRLF, "Close Sensor Port");
  if (IsHtc()) {
    DWORD got;
    DeviceIoControl(g_sensor, IOCTL_SENSOR_COMPASS_OFF, nullptr, 0, nullptr, 0, &got, nullptr);
    CloseHandle(g_sensor);
  }
  g_sensor = nullptr;
}

int ReadSensors(SensorReading* r) {
  *r = SensorReading{};
  if (!g_sensor) {
    if (g_reopenDelay && static_cast<LONG>(GetTickCount() - g_reopenAt) < 0) return 1;
    if (OpenSensors() != 0) {
      // Each failed opening waits twice as long before the next, so a device that is gone is
      // not registered and opened again at every sample.
      DWORD pollRate = SensorSettingsNow().PollRate;
      DWORD base = pollRate ? pollRate : 1;
      g_reopenDelay = g_reopenDelay ? g_reopenDelay * 2 : base;
      if (g_reopenDelay > kSensorReopenMaxMs) g_reopenDelay = kSensorReopenMaxMs;
      g_reopenAt = GetTickCount() + g_reopenDelay;
      return 1;
    }
    g_reopenDelay = 0;
  }
  int result = 1;
  if (reinterpret_cast<uintptr_t>(g_sensor) == kSmiInUse) result = ReadSmi(r);
  else if (IsHtc()) result = ReadHtc(r);
  g_failuresInARow = result == 0 ? 0 : g_failuresInARow + 1;
  if (g_failuresInARow >= kFailuresBeforeLost && IsHtc()) {
    LogLine(LOG_CRLF, "Sensor Port Lost");
    CloseSensors();
    g_failuresInARow = 0;
  }
  return result;
}

LONG SensorCapabilities() { return g_capabilities; }
LONG SensorOpenCount() { return AtomicRead(&g_opens); }
