// The sensor thread: opens the phone's sensors, samples them every PollRate milliseconds (or up
// to when the next average must start) and closes them when stopped. A thread cannot be killed
// safely, so a stop is cooperative: a backend call that hangs delays the stop, and a start in the
// meantime lets the same thread run on instead of making a second one.
#include <mutex>
#include "driver_internal.h"
#include "compass.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "sensor_internal.h"
#include "support/log.h"

namespace {

std::mutex g_lifecycle;      // the three values below
bool g_wanted = false;       // the thread should sample
bool g_running = false;      // a thread exists and has not decided to end
HANDLE g_stopEvent = nullptr;  // wakes the thread's pause; lives as long as the driver
HANDLE g_thread = nullptr;

bool Wanted() {
  std::lock_guard<std::mutex> lock(g_lifecycle);
  return g_wanted;
}

// One run from opening the sensors to closing them; false when there is no hardware.
bool SampleUntilStopped() {
  SetSampleCount(-2);
  if (OpenSensors() != 0) {
    LogLine(LOG_CRLF, "No Sensor Hardware - Thread Exit");
    return false;
  }
  ResetSensorAverage();
  DWORD base = GetTickCount();
  LONG previousDelay = 0;
  while (Wanted()) {
    SampleSensors();
    DWORD now = GetTickCount();
    DWORD due = TakeNextSampleDue();
    LONG delay = due ? static_cast<LONG>(due - now)
                     : static_cast<LONG>(SensorSettingsNow().PollRate) - static_cast<LONG>(now - (base + previousDelay));
    base = now;
    LogPrintf(LOG_VERBOSE | LOG_FLUSH, "Sensor Sleep for %d\r\n", static_cast<int>(delay));
    if (delay < 0) delay = 0;
    WaitForSingleObject(g_stopEvent, static_cast<DWORD>(delay));
    previousDelay = delay;
  }
  CloseSensors();
  return true;
}

DWORD SensorThread(LPVOID) {
  LogLine(LOG_CRLF, "Started Sensor Read Thread");
  for (;;) {
    bool hardware = SampleUntilStopped();
    std::lock_guard<std::mutex> lock(g_lifecycle);
    // Started again while this run was closing: the same thread runs on.
    if (hardware && g_wanted) continue;
    g_running = false;
    break;
  }
  LogLine(LOG_CRLF, "Sensor Thread Shutdown");
  return 0;
}

}  // namespace

void StartSensorThread() {
  LogLine(LOG_CRLF, "Starting Sensor Thread");
  SetSampleCount(-3);
  SetCompassReader(CompassResult);
  PublishSensorSettings();
  std::lock_guard<std::mutex> lock(g_lifecycle);
  if (!g_stopEvent) g_stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  g_wanted = true;
  if (g_running) return;  // still ending a run: it samples on
  if (g_thread) {
    // One that has decided to end: it only says so and returns (it takes nothing more of this
    // lock), so waiting for it keeps to one thread at a time.
    WaitForSingleObject(g_thread, INFINITE);
    CloseHandle(g_thread);
  }
  g_thread = CreateThread(nullptr, 0, SensorThread, nullptr, 0, nullptr);
  g_running = g_thread != nullptr;
}

void StopSensorThread() {
  HANDLE thread;
  {
    std::lock_guard<std::mutex> lock(g_lifecycle);
    if (!g_thread || !g_wanted) return;
    LogLine(LOG_CRLF, "Stopping Sensor Thread");
    g_wanted = false;
    SetEvent(g_stopEvent);
    thread = g_thread;
  }
  // The wait ran out: a backend call hangs. The thread is not killed (no thread can be, safely):
  // it ends when the call returns, and a start meanwhile lets it run on.
  if (WaitForSingleObject(thread, 2 * g_System.SleepTime) != WAIT_OBJECT_0)
    LogLine(LOG_CRLF | LOG_FLUSH, "SensorThread forced Closed");
}

void EndSensorThread() {
  StopSensorThread();
  HANDLE thread;
  {
    std::lock_guard<std::mutex> lock(g_lifecycle);
    thread = g_thread;
    g_thread = nullptr;
  }
  // The driver is being unloaded: its code must outlive the thread, however long a call hangs.
  if (thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  std::lock_guard<std::mutex> lock(g_lifecycle);
  if (g_stopEvent) CloseHandle(g_stopEvent);
  g_stopEvent = nullptr;
}
