// The sensor thread and the compass result. The phone makers' sensor libraries and devices are
// looked for as on a device; without them (as on every Linux machine so far) the thread logs
// that there is no sensor hardware and ends, and the compass result reports no heading.
#include "driver_internal.h"
#include "port_driver/compass.h"
#include "port_driver/driver_state.h"
#include "port_driver/settings.h"
#include "support/log.h"

namespace {

volatile LONG g_sampleCount = -2;  // -3 starting, -2 no hardware
HANDLE g_stopEvent = nullptr;
HANDLE g_thread = nullptr;
BYTE g_orientation = ORIENT_UNKNOWN;

// Tries the two makers' sensor interfaces; true when one answers.
bool OpenSensors() {
  LogLine(LOG_CRLF, "Attempt to Open Samsung Sensor Port");
  HMODULE smi = LoadLibraryW(u"SamsungMobilesdk_2.dll");
  if (!smi) {
    LogLine(LOG_CRLF, "Can't Load Smi Library");
  } else {
    // A library that loads but does not answer counts as missing hardware here too.
    LogLine(LOG_CRLF, "Phone is not supported");
    FreeLibrary(smi);
  }
  LogLine(LOG_CRLF, "Attempt to Open HTC Sensor Port");
  HANDLE device = CreateFileW(u"SEN0:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE || !device) {
    LogLine(LOG_CRLF, "Attempt to Load HTC Sensor Service Dll");
    if (!RegisterService(u"SEN", 0, u"HTCSensorService.dll", 1)) {
      LogLine(LOG_CRLF, "HTC Service Dll can't be Loaded");
      return false;
    }
    device = CreateFileW(u"SEN0:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE || !device) {
      LogLine(LOG_CRLF, "HTC Sensor Port can't be Read");
      return false;
    }
  }
  CloseHandle(device);
  return false;  // no reading is made of a device this build knows nothing of
}

DWORD SensorThread(LPVOID) {
  LogLine(LOG_CRLF, "Started Sensor Read Thread");
  AtomicWrite(&g_sampleCount, -2);
  if (!OpenSensors()) {
    LogLine(LOG_CRLF, "No Sensor Hardware - Thread Exit");
    return 0;
  }
  WaitForSingleObject(g_stopEvent, INFINITE);
  LogLine(LOG_CRLF, "Sensor Thread Shutdown");
  return 0;
}

// The compass result for the correction stage.
void CompassResult(BYTE* orientation, double* heading) {
  *heading = -1.0;
  *orientation = g_orientation;
  LONG count = AtomicRead(&g_sampleCount);
  if (count == -3 || count == -2) *orientation = ORIENT_UNKNOWN;
}

}  // namespace

void StartSensorThread() {
  LogLine(LOG_CRLF, "Starting Sensor Thread");
  AtomicWrite(&g_sampleCount, -3);
  SetCompassReader(CompassResult);
  if (!g_stopEvent) g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  else ResetEvent(g_stopEvent);
  if (g_thread) return;
  g_thread = CreateThread(nullptr, 0, SensorThread, nullptr, 0, nullptr);
  if (g_thread) WaitForSingleObject(g_thread, 100);
}

void StopSensorThread() {
  if (!g_thread) return;
  LogLine(LOG_CRLF, "Stopping Sensor Thread");
  SetEvent(g_stopEvent);
  if (WaitForSingleObject(g_thread, 2 * g_System.SleepTime) != WAIT_OBJECT_0) {
    LogLine(LOG_CRLF | LOG_FLUSH, "SensorThread forced Closed");
    TerminateThread(g_thread, 0);
  }
  CloseHandle(g_stopEvent);
  CloseHandle(g_thread);
  g_stopEvent = nullptr;
  g_thread = nullptr;
}
