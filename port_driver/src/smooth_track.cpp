// The smoothed track (profile value Smooth). A receiver's position carries metres of noise, its
// speed and course (from the signal's Doppler shift) very little. Carried along the mean of the
// last and the new velocity, the last smoothed position predicts the new one without the noise;
// the fix moves it a third of the way: white noise shrinks to about 0.45 of itself, a turn or a
// stop is followed as the velocity says. Gaps, slow fixes and a fix far off the prediction start
// the track afresh from the fix.
#include <cmath>
#include "port_driver/driver_state.h"
#include "fix_history_lock.h"
#include "settings_store/settings.h"
#include "support/geodesy.h"
#include "support/log.h"

namespace {

constexpr double kGain = 1.0 / 3;        // of the difference between fix and prediction taken
constexpr double kGateM = 25;            // a fix further off the prediction starts afresh
constexpr LONG kLongestStepMs = 2500;    // a longer gap starts afresh

void Velocity(float kmh, float heading, double* east, double* north) {
  double v = kmh * KMH_TO_MS, h = heading * DEG_TO_RAD;
  *east = v * std::sin(h);
  *north = v * std::cos(h);
}

void Restart(SmoothState* s, const FixRecord& fix) {
  s->latitude = fix.Latitude;
  s->longitude = fix.Longitude;
  s->speed = fix.Speed;
  s->heading = fix.Heading;
  s->valid = 1;
}

}  // namespace

int SmoothTrack(FixRecord* fix, LONG dms) {
  SmoothState& s = g_History.Smooth;
  const ProfileSettings p = SourceProfile();
  const DWORD velocity = FIX_SPEED | FIX_HEADING;
  if ((fix->ValidFields & velocity) != velocity || fix->Speed < p.MinSpeed) {
    s.valid = 0;  // standing (or no velocity): the standstill's own rules hold
    return 0;
  }
  if (!s.valid || dms < kLagFloorMs || dms > kLongestStepMs) {
    Restart(&s, *fix);
    return 0;
  }
  double e0, n0, e1, n1;
  Velocity(s.speed, s.heading, &e0, &n0);
  Velocity(fix->Speed, fix->Heading, &e1, &n1);
  double seconds = dms / 1000.0;
  double east = (e0 + e1) / 2 * seconds, north = (n0 + n1) / 2 * seconds;
  double metresPerDegLat = EARTH_RADIUS_M * DEG_TO_RAD;
  double metresPerDegLon = metresPerDegLat * std::cos(s.latitude * DEG_TO_RAD);
  double predictedLat = s.latitude + north / metresPerDegLat;
  double predictedLon = s.longitude + east / metresPerDegLon;
  double offNorth = (fix->Latitude - predictedLat) * metresPerDegLat;
  double offEast = (fix->Longitude - predictedLon) * metresPerDegLon;
  if (std::hypot(offNorth, offEast) > kGateM) {
    LogPrintf(LOG_CRLF, "Smooth: fix %.0f m off the track, started afresh", std::hypot(offNorth, offEast));
    Restart(&s, *fix);
    return 0;
  }
  s.latitude = predictedLat + kGain * offNorth / metresPerDegLat;
  s.longitude = predictedLon + kGain * offEast / metresPerDegLon;
  s.speed = fix->Speed;
  s.heading = fix->Heading;
  fix->Latitude = s.latitude;
  fix->Longitude = s.longitude;
  return 1;
}
