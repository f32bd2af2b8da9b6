// "SEN0:": the G-sensor and the compass of the backend chosen at Init. Every output length is
// honoured: a buffer too small for a reading fails with ERROR_INSUFFICIENT_BUFFER.
#include "sensor_device.h"
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include "platform/kernel.h"
#include "platform/registry_values.h"
#include "platform/sensor_ioctl.h"
#include "sensor_backend.h"

namespace {

constexpr DWORD kDeviceContext = 0x5E40;
constexpr DWORD kOpenContext = 0x5E41;
constexpr char kDefaultIioRoot[] = "/sys/bus/iio/devices";

std::mutex g_lock;
std::unique_ptr<SensorBackend> g_backend;
bool g_compassOn = false;


BOOL Fail(DWORD error, DWORD* actual) {
  if (actual) *actual = 0;
  SetLastError(error);
  return FALSE;
}

int16_t Clamp16(long v) { return static_cast<int16_t>(v < -32767 ? -32767 : v > 32767 ? 32767 : v); }

}  // namespace

const char* SensorBackendName() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_backend ? g_backend->Name() : "none";
}

DWORD SEN_Init(LPCWSTR, const void*) {
  // A program may name the backend for itself (the probe does); the registry otherwise.
  const char* forced = getenv("FERROX_SENSOR_BACKEND");
  std::string choice = forced && *forced ? forced : PlatformReadText(kSensorSettingsKey, u"Backend", "auto");
  auto backend = MakeSensorBackend(choice, PlatformReadText(kSensorSettingsKey, u"IioRoot", kDefaultIioRoot));
  std::lock_guard<std::mutex> lock(g_lock);
  g_backend = std::move(backend);
  g_compassOn = false;
  if (!g_backend) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return 0;
  }
  return kDeviceContext;
}

BOOL SEN_Deinit(DWORD context) {
  if (context != kDeviceContext) return FALSE;
  std::lock_guard<std::mutex> lock(g_lock);
  g_backend.reset();
  return TRUE;
}

DWORD SEN_Open(DWORD context, DWORD, DWORD) { return context == kDeviceContext ? kOpenContext : 0; }

BOOL SEN_Close(DWORD openContext) {
  if (openContext != kOpenContext) return FALSE;
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_backend && g_compassOn) g_backend->CompassOff();
  g_compassOn = false;
  return TRUE;
}

DWORD SEN_Read(DWORD, LPVOID, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return static_cast<DWORD>(-1);
}
DWORD SEN_Write(DWORD, const void*, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return static_cast<DWORD>(-1);
}
DWORD SEN_Seek(DWORD, LONG, WORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return static_cast<DWORD>(-1);
}
void SEN_PowerUp(DWORD) {}
void SEN_PowerDown(DWORD) {}

BOOL SEN_IOControl(DWORD openContext, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLength, DWORD* actual) {
  if (openContext != kOpenContext) return Fail(ERROR_INVALID_HANDLE, actual);
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_backend) return Fail(ERROR_DEV_NOT_EXIST, actual);
  switch (code) {
    case IOCTL_SENSOR_READ_GSENSOR: {
      if (!out || outLength < sizeof(SensorGReading)) return Fail(ERROR_INSUFFICIENT_BUFFER, actual);
      int x, y, z;
      if (!g_backend->ReadAcceleration(&x, &y, &z)) return Fail(ERROR_NOT_READY, actual);
      SensorGReading r{};
      r.X = Clamp16(x);
      r.Y = Clamp16(y);
      r.Z = Clamp16(z);
      memcpy(out, &r, sizeof r);
      if (actual) *actual = sizeof r;
      return TRUE;
    }
    case IOCTL_SENSOR_COMPASS_ON:
      if (!g_backend->CompassOn()) return Fail(ERROR_ACCESS_DENIED, actual);
      g_compassOn = true;
      if (actual) *actual = 0;
      return TRUE;
    case IOCTL_SENSOR_COMPASS_OFF:
      if (g_compassOn) g_backend->CompassOff();
      g_compassOn = false;
      if (actual) *actual = 0;
      return TRUE;
    case IOCTL_SENSOR_READ_COMPASS: {
      if (!out || outLength < sizeof(SensorCompassReading)) return Fail(ERROR_INSUFFICIENT_BUFFER, actual);
      if (!g_compassOn) return Fail(ERROR_NOT_READY, actual);
      double heading;
      if (!g_backend->ReadHeading(&heading)) return Fail(ERROR_NOT_READY, actual);
      SensorCompassReading r{};
      r.Heading = Clamp16(std::lround(heading) % 360);
      memcpy(out, &r, sizeof r);
      if (actual) *actual = sizeof r;
      return TRUE;
    }
    default:
      return Fail(ERROR_NOT_SUPPORTED, actual);
  }
}
