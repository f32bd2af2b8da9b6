// The noise-aware standstill (profile value HonestStill): a receiver that says it is slower than
// the minimum speed stands until its positions leave their own scatter on two fixes in a row in
// one direction; while it stands, the mean of all its positions since it stopped is reported, which
// converges on where it is, and no speed is made from the jitter.
#include <cmath>
#include "port_driver/driver_state.h"
#include "fix_history_lock.h"
#include "settings_store/settings.h"
#include "support/angles.h"
#include "support/geodesy.h"
#include "support/log.h"

namespace {

constexpr double kNoiseFactor = 2.5;       // movement beyond this many scatters is no jitter
constexpr double kFirstScatterM = 2.0;     // per unit of HDOP, before the scatter is known
constexpr double kScatterFloorM = 1.0;     // per unit of HDOP: a scatter never counts as less
constexpr double kLeaveSpreadDeg = 60;     // two moves this far apart in bearing are jitter
constexpr int kScatterFrom = 3;            // positions needed before the scatter is trusted

// The mean since the stop: noise that wanders for tens of seconds (as a receiver's does) averages
// out only over all of it, not over the latest positions.
void Mean(const StillState& s, double* lat, double* lon) {
  *lat = s.sumLatitude / s.total;
  *lon = s.sumLongitude / s.total;
}

// Root mean square distance of the latest positions from the standstill's mean, m.
double Scatter(const StillState& s, double lat, double lon) {
  double sum = 0;
  for (int i = 0; i < s.count; ++i) {
    double bearing, d;
    GreatCircle(lat * DEG_TO_RAD, lon * DEG_TO_RAD, s.latitude[i] * DEG_TO_RAD, s.longitude[i] * DEG_TO_RAD, &bearing,
                &d);
    sum += d * d;
  }
  return std::sqrt(sum / s.count);
}

void Hold(StillState* s, double lat, double lon) {
  if (s->count == 0) {  // a new standstill
    s->sumLatitude = s->sumLongitude = 0;
    s->total = 0;
  }
  s->sumLatitude += lat;
  s->sumLongitude += lon;
  ++s->total;
  s->latitude[s->next] = lat;
  s->longitude[s->next] = lon;
  s->next = (s->next + 1) % kStillPositions;
  if (s->count < kStillPositions) ++s->count;
}

}  // namespace

int HonestStandstill(FixRecord* fix) {
  const ProfileSettings p = SourceProfile();
  StillState& s = g_History.Still;
  const FixRecord& prev = g_History.PrevFix;
  if (s.count == 0) {  // just stopped: the standstill starts where the last fix was
    s.votes = 0;
    Hold(&s, prev.Latitude, prev.Longitude);
  }
  double lat, lon;
  Mean(s, &lat, &lon);
  const double hdop = fix->Hdop > 0 ? fix->Hdop : 1.0;
  double noise = s.count >= kScatterFrom ? Scatter(s, lat, lon) : kFirstScatterM * hdop;
  double limit = std::fmax(p.DeltaDistance * hdop, kNoiseFactor * std::fmax(noise, kScatterFloorM * hdop));
  double bearing, distance;
  GreatCircle(lat * DEG_TO_RAD, lon * DEG_TO_RAD, fix->Latitude * DEG_TO_RAD, fix->Longitude * DEG_TO_RAD, &bearing,
              &distance);
  bearing *= RAD_TO_DEG;
  if (distance >= limit) {
    if (s.votes > 0 && std::fabs(AngleDifference(s.bearing, bearing)) < kLeaveSpreadDeg) {
      LogPrintf(LOG_CRLF, "Leaving standstill: %.1f m beyond %.1f m twice", distance, limit);
      s.count = s.next = s.votes = 0;
      // Speed from movement alone: the usual correction takes over. With the receiver's own
      // speed preferred, which still says slow, the standstill starts again where it is now.
      if (p.EnableSpeed == 1) return 0;
      Hold(&s, fix->Latitude, fix->Longitude);
      Mean(s, &lat, &lon);
    } else {
      if (s.votes > 0) Hold(&s, s.pendingLatitude, s.pendingLongitude);  // that leap was jitter
      s.votes = 1;
      s.bearing = bearing;
      s.pendingLatitude = fix->Latitude;
      s.pendingLongitude = fix->Longitude;
      Mean(s, &lat, &lon);
    }
  } else {
    // A leap not followed by another one the same way was jitter: it counts, or the mean would
    // lean away from the side the leaps came from.
    if (s.votes > 0) Hold(&s, s.pendingLatitude, s.pendingLongitude);
    s.votes = 0;
    Hold(&s, fix->Latitude, fix->Longitude);
    Mean(s, &lat, &lon);
  }
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "Standing: %d positions, %.1f m off, limit %.1f m", s.count, distance, limit);
  fix->Latitude = lat;
  fix->Longitude = lon;
  fix->Speed = 0;
  if (!(fix->ValidFields & FIX_COMPASS_IN_USE)) fix->Heading = prev.Heading;
  return 1;
}
