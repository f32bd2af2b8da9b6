// The calibration run on the platform's clock.
#include "calibration.h"
#include <cmath>
#include <cstdint>
#include <iterator>
#include <mutex>
#include "apply_settings.h"
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "status_reader.h"
#include "support/angles.h"
#include "support/log.h"

namespace {

constexpr DWORD kStepMs = 100;
constexpr DWORD kBelowSpeedMs = 5000;
constexpr int kSecondsToStart = 10;
constexpr int kLeastReadings = 5;

const ProgressRow kProgress[] = {
    {{2, 2, 2}, {"Press Calibrate", "Press Calibrate", "Press Calibrate"}},
    {{0, 0, 0}, {"Waiting For Speed", "Count = seconds Left", "Waiting..."}},
    {{1, 1, 0}, {"Above Delta Speed", "Averaging Readings", "Calibrating..."}},
    {{1, 1, 0}, {"Above Delta Speed", "Averaging Readings", "Calibrating..."}},  // no state 3
    {{1, 1, 1}, {"Speed Don't Care", "Complete", "Calibrate Done"}},
    {{1, 1, 0}, {"Above Delta Speed", "Reset on Orientation change", "Calibrating..."}},
    {{0, 1, 0}, {"Stay Above Delta Speed", "Paused for Speed", "Calibrating..."}},
    {{1, 1, 1}, {"Speed Don't Care", "Early Ending", "Calibrate Done"}},
    {{0, 0, 0}, {"Speed Don't Care", "Aborted", "Finished"}},
};

std::mutex g_lock;
CalibrationView g_view = {CAL_PAGE_OPENED, -1.0, -1.0, -1, 0, 0, 0, 0, 0};
volatile LONG g_running = 0;
HANDLE g_thread = nullptr;
HANDLE g_event = nullptr;
LONG g_keptVal = 0, g_keptLand = 0;

void Show(int state, double compass, double course, int count) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_view.state = state;
  g_view.compass = compass;
  g_view.course = course;
  g_view.count = count;
}

void Finish(int haveOffset, int landscape, LONG offset) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_view.haveOffset = haveOffset;
  g_view.landscape = landscape;
  g_view.offset = offset;
  g_view.finished = 1;
}

// -1 when the run was aborted, 0 with a fresh pair, 1 when none came within `limit` ms.
int WaitForReading(DWORD limit, double* compass, double* course, BYTE* orientation) {
  ResetEvent(g_event);
  DWORD start = GetTickCount();
  while (GetTickCount() - start < limit) {
    if (!InterlockedCompareExchange(&g_running, 1, 1)) return -1;
    if (TakeCalibrationReading(compass, course, orientation)) return 0;
    WaitForSingleObject(g_event, kStepMs);
    ResetEvent(g_event);
  }
  return TakeCalibrationReading(compass, course, orientation) ? 0 : 1;
}

DWORD RunCalibration(LPVOID param) {
  const DWORD sleepTime = static_cast<DWORD>(reinterpret_cast<uintptr_t>(param));
  const int target = sleepTime ? static_cast<int>(10000 / sleepTime) : 0;
  Show(CAL_WAITING, -1.0, -1.0, target);
  double compass = -1.0, course = -1.0;
  BYTE orientation = 0;
  int n = kSecondsToStart;
  for (;; --n) {
    double shownCompass, shownCourse;
    BYTE shownOrientation;
    PeekCalibrationReading(&shownCompass, &shownCourse, &shownOrientation);
    Show(CAL_WAITING, shownCompass, shownCourse, n);
    int r = WaitForReading(sleepTime, &compass, &course, &orientation);
    if (r == 0) break;
    if (r < 0 || n == 1) {
      Show(CAL_FAILED, -1.0, -1.0, r < 0 ? n : 0);
      Finish(0, 0, 0);
      return 0;
    }
  }
  double firstCompass = compass, firstCourse = course;
  BYTE remembered = orientation;
  double compassSum = 0, courseSum = 0;
  int count = 0;
  DWORD lastReading = GetTickCount();
  Show(CAL_AVERAGING, compass, course, count);
  while (count < target) {
    if (GetTickCount() - lastReading > kBelowSpeedMs) break;  // below speed for too long
    LogLine(LOG_VERBOSE, "Compass Cal Sleep\r\n");
    int r = WaitForReading(sleepTime, &compass, &course, &orientation);
    if (r < 0) {
      Show(CAL_FAILED, compass, course, count);
      Finish(0, 0, 0);
      return 0;
    }
    if (r == 1) {
      Show(CAL_PAUSED, compass, course, count);
      continue;
    }
    lastReading = GetTickCount();
    if (orientation == remembered) {
      courseSum += AngleDifference(firstCourse, course);
      compassSum += AngleDifference(firstCompass, compass);
      ++count;
      Show(CAL_AVERAGING, compass, course, count);
    } else {  // the phone was turned: a new reference in the new orientation
      remembered = orientation;
      count = 0;
      compassSum = courseSum = 0;
      firstCompass = compass;
      firstCourse = course;
      Show(CAL_RESTARTED, compass, course, 0);
    }
    LogPrintf(LOG_CRLF, "Saving %d Readings: (Compass:%.1f, Gps:%.1f) in average", count, compassSum, courseSum);
  }
  LogPrintf(LOG_CRLF, "Saved %d Readings in average", count);
  if (count < kLeastReadings) {
    Show(CAL_FAILED, compass, course, count);
    Finish(0, 0, 0);
    return 0;
  }
  double averageCompass = AngleSum(firstCompass, compassSum / count);
  double averageCourse = AngleSum(firstCourse, courseSum / count);
  LONG offset = RoundOffset(AngleDifference(averageCourse, averageCompass));
  Show(count < target ? CAL_ENDED_EARLY : CAL_COMPLETE, averageCompass, averageCourse, count);
  Finish(1, remembered == 1 || remembered == 2, offset);
  return 0;
}

void JoinRun() {
  if (!g_thread) return;
  WaitForSingleObject(g_thread, INFINITE);
  CloseHandle(g_thread);
  g_thread = nullptr;
  SetReadingEvent(nullptr);
  CloseHandle(g_event);
  g_event = nullptr;
}

}  // namespace

const ProgressRow& CalibrationProgress(int state) {
  if (state < 0 || state >= static_cast<int>(std::size(kProgress))) state = CAL_FAILED;
  return kProgress[state];
}


LONG RoundOffset(double degrees) {
  if (!std::isfinite(degrees)) return 0;
  return static_cast<LONG>(std::lround(degrees));
}

int StartCalibration(LONG keptVal, LONG keptLand) {
  if (g_thread) return 0;
  LogLine(LOG_CRLF, "Starting Average Capture");
  g_keptVal = keptVal;
  g_keptLand = keptLand;
  g_Profile.MagVal = 0;
  g_Profile.MagLand = 0;
  ApplySettings(APPLY_CALIB);  // the driver uses the zero offsets: the raw reading is measured
  g_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_event) return 0;
  ClearCalibrationReading();
  SetReadingEvent(g_event);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_view = {CAL_WAITING, -1.0, -1.0, 0, 1, 0, 0, 0, 0};
  }
  InterlockedExchange(&g_running, 1);
  g_thread = CreateThread(nullptr, 0, RunCalibration, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(g_System.SleepTime)),
                          0, nullptr);
  if (!g_thread) {
    InterlockedExchange(&g_running, 0);
    Finish(0, 0, 0);
    return 0;
  }
  return 1;
}

void AbortCalibration() {
  InterlockedExchange(&g_running, 0);
  JoinRun();
  TakeCalibrationResult();
}

void ReadCalibrationView(CalibrationView* view) {
  std::lock_guard<std::mutex> lock(g_lock);
  *view = g_view;
  view->running = g_thread != nullptr && !g_view.finished;
}

void ResetCalibrationView() {
  if (g_thread) return;
  std::lock_guard<std::mutex> lock(g_lock);
  g_view = {CAL_PAGE_OPENED, -1.0, -1.0, -1, 0, 0, 0, 0, 0};
}

int TakeCalibrationResult() {
  CalibrationView view;
  ReadCalibrationView(&view);
  if (!view.finished) return 0;
  InterlockedExchange(&g_running, 0);
  JoinRun();
  g_Profile.MagVal = g_keptVal;
  g_Profile.MagLand = g_keptLand;
  if (view.haveOffset) (view.landscape ? g_Profile.MagLand : g_Profile.MagVal) = view.offset;
  LogPrintf(LOG_CRLF, "Saving Portrait:%d, Landscape:%d", static_cast<int>(g_Profile.MagVal),
            static_cast<int>(g_Profile.MagLand));
  std::lock_guard<std::mutex> lock(g_lock);
  g_view.finished = 0;
  return 1;
}
