// The compass average and the tilt's profile request. The sensor thread adds samples; the
// reader takes one result per output cycle, which resets the average. One lock keeps a sample
// from falling between the two steps of a reset.
#include <cstdlib>
#include <mutex>
#include "platform/time.h"
#include "compass.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "sensor_internal.h"
#include "support/angles.h"
#include "support/log.h"

namespace {

constexpr double kMaxDeviation = 45;  // a sample this far from the first starts a new average
// The tilt must ask for the same profile this long before the request is made, and staying in
// the upright profile needs this many degrees less than entering it, so that a phone held near
// the angle does not switch profiles at every fix.
constexpr DWORD kTiltHoldMs = 1000;
constexpr LONG kTiltHysteresis = 5;

std::mutex g_lock;
LONG g_count = -2;
double g_first = 0, g_deviationSum = 0;
LONG g_averagedOrientation = ORIENT_UNKNOWN;
double g_lastHeading = -1;
DWORD g_lastSampleTick = 0;
LONG g_profileRequest = 0;
LONG g_tiltWants = 0;
DWORD g_tiltSince = 0;
DWORD g_nextSampleDue = 0;
// The result of this cycle, handed out again to whoever asks within the cycle.
bool g_haveResult = false;
DWORD g_resultTick = 0;
BYTE g_resultOrientation = ORIENT_UNKNOWN;
double g_resultHeading = -1;

DWORD CycleMs(const SensorSettings& s) { return s.EnableSmooth ? s.SleepTime / 2 : s.SleepTime; }

void TiltStep(const SensorSettings& s, const SensorReading& r, DWORD now) {
  bool landscape = r.Orientation == ORIENT_RIGHT_LANDSCAPE || r.Orientation == ORIENT_LEFT_LANDSCAPE;
  if (!(s.AutoEnable & (landscape ? 0x2 : 0x1))) return;
  LONG a = std::labs(landscape ? r.Roll : r.Pitch);
  LONG current = static_cast<LONG>(s.CurrentProfile);
  LONG margin = static_cast<LONG>(s.AutoAngle) + (current == 1 ? kTiltHysteresis : 0);
  LONG wants = 90 - margin < a && a < 90 + margin ? 1 : 2;
  if (wants == current) {
    g_tiltWants = 0;
    g_profileRequest = 0;
  } else if (g_tiltWants != wants) {
    g_tiltWants = wants;
    g_tiltSince = now;
  } else if (now - g_tiltSince >= kTiltHoldMs) {
    g_profileRequest = wants;
  }
}

}  // namespace

const char* OrientationName(LONG code) {
  static const char* const kNames[8] = {"UnKn", "RLand", "LLand", "Port", "IPort", "FDown", "Flat", "Err"};
  return kNames[code >= 0 && code < 7 ? code : 7];
}

void SampleSensors() {
  SensorReading r;
  if (ReadSensors(&r) != 0) return;
  DWORD now = GetTickCount();
  SensorSettings s = SensorSettingsNow();
  std::lock_guard<std::mutex> lock(g_lock);
  TiltStep(s, r, now);
  if (!s.EnableCompass) {
    if (g_count < 0) g_count = -4;
    g_averagedOrientation = r.Orientation;
    return;
  }
  // Only headings the compass gave are averaged: a failed or inaccurate reading is no north.
  if (!r.HeadingRead) {
    if (g_count < 0) g_averagedOrientation = r.Orientation;
    return;
  }
  double heading = r.Heading;
  if (g_count >= 0) {
    double d = AngleDifference(g_first, heading);
    if (d > -kMaxDeviation && d < kMaxDeviation && r.Orientation == g_averagedOrientation) {
      g_deviationSum += d;
      g_count += 1;
      g_lastSampleTick = now;
      LogPrintf(LOG_CRLF | LOG_VERBOSE, "SumCompass: %d", static_cast<int>(g_deviationSum));
      LogPrintf(LOG_CRLF, "Orient: %d, Compass: %d, Valid: %d", static_cast<int>(r.Orientation),
                static_cast<int>(r.Heading), static_cast<int>(g_count));
      return;
    }
  }
  g_first = heading;
  g_averagedOrientation = r.Orientation;
  g_count = 0;
  g_lastSampleTick = now;
  LogPrintf(LOG_CRLF, "Orient: %d, Compass: %d, Valid: %d", static_cast<int>(r.Orientation),
            static_cast<int>(r.Heading), 0);
}

void CompassResult(BYTE* orientation, double* heading) {
  SensorSettings s = SensorSettingsNow();
  std::lock_guard<std::mutex> lock(g_lock);
  *heading = -1.0;
  *orientation = ORIENT_UNKNOWN;
  if (g_count == -3 || g_count == -2) return;
  DWORD now = GetTickCount();
  // One result per output cycle: the reader's fix and every channel's output of that cycle get
  // the same heading, and only the first resets the average.
  if (g_haveResult && now - g_resultTick < CycleMs(s) / 2) {
    *orientation = g_resultOrientation;
    *heading = g_resultHeading;
    return;
  }
  if (g_nextSampleDue == 0) {
    // The next average of NumAvg + 1 samples ends when the next output fix is due.
    LONGLONG window = (static_cast<LONGLONG>(s.NumAvg) + 1) * s.PollRate;
    g_nextSampleDue = now + static_cast<DWORD>(static_cast<LONGLONG>(CycleMs(s)) - window);
    if (g_nextSampleDue == 0) g_nextSampleDue = 1;
  }
  if (g_profileRequest != 0 && static_cast<DWORD>(g_profileRequest) != s.CurrentProfile) {
    SaveCurrentProfile(static_cast<DWORD>(g_profileRequest));
    PublishSensorProfile(static_cast<DWORD>(g_profileRequest));
    AtomicWrite(&g_Driver.RemoteCommand, REMOTE_CALIB);
  }
  g_profileRequest = 0;
  LONG o = g_averagedOrientation > 7 || g_averagedOrientation < 0 ? 7 : g_averagedOrientation;
  double h;
  if (g_count == -4) {
    LogPrintf(LOG_CRLF, "Orient: %s", OrientationName(o));
    h = -1.0;
  } else {
    if (g_count == -1) {
      // A heading no sample has confirmed for two cycles is no longer the device's heading.
      if (g_lastHeading >= 0 && now - g_lastSampleTick > 2 * s.SleepTime) g_lastHeading = -1;
      h = g_lastHeading;
    } else if (g_count == 0) {
      h = g_first;
    } else {
      // The mean of all samples of the average, the first among them.
      h = AngleSum(g_first, g_deviationSum / (g_count + 1));
    }
    g_lastHeading = h;
    if (h >= 0) {
      if (o == ORIENT_RIGHT_LANDSCAPE) h = AngleSum(h, -90);
      else if (o == ORIENT_LEFT_LANDSCAPE) h = AngleSum(h, 90);
      else if (o == ORIENT_INVERTED_PORTRAIT) h = AngleSum(h, 180);
    }
    LogPrintf(LOG_CRLF, "Compass: %.1f, Orient: %s", h, OrientationName(o));
    g_deviationSum = 0;
    g_first = 0;
    g_count = -1;
  }
  g_haveResult = true;
  g_resultTick = now;
  g_resultOrientation = static_cast<BYTE>(o);
  g_resultHeading = h;
  *orientation = g_resultOrientation;
  *heading = h;
}

void SetSampleCount(LONG count) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_count = count;
  if (count == -3) g_nextSampleDue = 0;
}

DWORD TakeNextSampleDue() {
  std::lock_guard<std::mutex> lock(g_lock);
  DWORD due = g_nextSampleDue;
  g_nextSampleDue = 0;
  return due;
}

void ResetSensorAverage() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_count = -1;
  g_profileRequest = 0;
  g_tiltWants = 0;
  g_nextSampleDue = 0;
  g_haveResult = false;
  g_lastHeading = -1;
  g_deviationSum = 0;
  g_first = 0;
}
