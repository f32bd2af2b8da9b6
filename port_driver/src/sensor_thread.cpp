// The sensor thread: opens the phone's sensors, samples them every PollRate milliseconds (or up
// to when the next average must start) and closes them when stopped.
#include "driver_internal.h"
#include "compass.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "sensor_internal.h"
#include "support/log.h"

namespace {

HANDLE g_stopEvent = nullptr;
HANDLE g_thread = nullptr;

DWORD SensorThread(LPVOID) {
  LogLine(LOG_CRLF, "Started Sensor Read Thread");
  SetSampleCount(-2);
  if (OpenSensors() != 0) {
    LogLine(LOG_CRLF, "No Sensor Hardware - Thread Exit");
    return 0;
  }
  ResetSensorAverage();
  DWORD base = GetTickCount();
  LONG previousDelay = 0;
  while (WaitForSingleObject(g_stopEvent, 0) != WAIT_OBJECT_0) {
    SampleSensors();
    DWORD now = GetTickCount();
    DWORD due = TakeNextSampleDue();
    LONG delay = due ? static_cast<LONG>(due - now)
                     : static_cast<LONG>(g_System.PollRate) - static_cast<LONG>(now - (base + previousDelay));
    base = now;
    LogPrintf(LOG_VERBOSE | LOG_FLUSH, "Sensor Sleep for %d\r\n", static_cast<int>(delay));
    if (delay < 0) delay = 0;
    WaitForSingleObject(g_stopEvent, static_cast<DWORD>(delay));
    previousDelay = delay;
  }
  CloseSensors();
  LogLine(LOG_CRLF, "Sensor Thread Shutdown");
  return 0;
}

}  // namespace

void StartSensorThread() {
  LogLine(LOG_CRLF, "Starting Sensor Thread");
  SetSampleCount(-3);
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
