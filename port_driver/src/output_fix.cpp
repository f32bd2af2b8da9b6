// BuildOutputFix: what a channel reports now. The current fix projected by its age (plus
// LagAdvance, or the measured latency, while moving), the last good fix carried forward, the unfixed receiver data, or the
// stored or cell-tower position.
#include <cmath>
#include <cstring>
#include "fix_history_lock.h"
#include "compass.h"
#include "port_driver/driver_state.h"
#include "support/geodesy.h"
#include "location_store.h"
#include "settings_store/settings.h"
#include "support/angles.h"
#include "support/log.h"

namespace {

void ClearSatellites(FixRecord* fix) {
  fix->SatelliteCount = 0;
  fix->SatellitesInView = 0;
  memset(fix->UsedPrns, 0, sizeof fix->UsedPrns);
  memset(fix->InViewPrns, 0, sizeof fix->InViewPrns);
  memset(fix->InViewElevation, 0, sizeof fix->InViewElevation);
  memset(fix->InViewAzimuth, 0, sizeof fix->InViewAzimuth);
  memset(fix->InViewSnr, 0, sizeof fix->InViewSnr);
  fix->ValidFields &= ~FIX_SATELLITE_GROUP;
}

bool FromReceiver(const FixRecord& fix) { return fix.SourceKind & SOURCE_RECEIVER_MASK; }

// A position carried forward past the projection window claims no movement: it stands where the
// window left it, its course kept, and $PGRMT says it is the last known one (also a receiver's
// fix whose source is gone, which has lost its source's kind): the writer prints it as an estimate.
void Halt(FixRecord* out) {
  out->Speed = 0;
  if (FromReceiver(*out) || out->SourceKind == SOURCE_UNKNOWN) out->SourceKind = SOURCE_LAST_KNOWN;
}

// The profile's FallbackAsNoFix: a carried-forward position is reported as no fix at all.
void NoFix(FixRecord* out) {
  out->FixQuality = 0;
  out->FixType = 0;
  out->Speed = 0;
  out->ValidFields &= ~(FIX_LATITUDE | FIX_LONGITUDE);
  ClearSatellites(out);
}

// Projects `out` along its course by `lag` ms; returns 1 when it moved.
int Project(FixRecord* out, LONG lag, LONG dms) {
  const ProfileSettings p = SourceProfile();
  const FixRecord& last = g_History.LastGoodFix;
  ClockNow(&out->UtcTime);
  double speedLimit = out->Hdop != 0 ? p.DeltaSpeed * out->Hdop : p.DeltaSpeed;
  // A smoothed track moves by the receiver's own velocity, not by noise: it is projected at any
  // speed above the minimum (walking too), where a noisy speed needs the threshold.
  if (p.Smooth && g_History.Smooth.valid) speedLimit = p.MinSpeed;
  if (p.AutoLag) {  // bounded prediction: no further than one reporting interval past the fix
    LONG interval = dms >= kLagFloorMs && dms < kStaleDataMs ? dms : kDefaultIntervalMs;
    if (lag > interval) lag = interval;
  }
  if (p.LagAdvance != 0 && out->Speed > speedLimit) lag += LagAdvanceMs();
  LogPrintf(LOG_CRLF, "WWIB: DopS:%.1f, Speed: %.1f, Dms: %d, Lagms: %d", speedLimit, out->Speed, dms, lag);
  if (out->Speed < p.MinSpeed) {
    LogPrintf(LOG_CRLF, "Minimum Speed");
    if (dms < static_cast<LONG>(p.DeltaTime)) out->Speed = last.Speed;
    return 0;
  }
  double divisor = dms >= kLagFloorMs ? dms : kDefaultIntervalMs;
  if (lag < kLagFloorMs) return 0;
  double ratio = lag / divisor;
  double v = (out->Speed - last.Speed) * ratio + out->Speed;
  if (v < p.MinSpeed) v = 0;
  double distance = v * KMH_TO_MS * lag * 0.001;
  double turn = AngleDifference(last.Heading, out->Heading) * ratio;
  if (turn > kTurnLimitDeg) turn = kTurnLimitDeg;
  if (turn < -static_cast<double>(kTurnLimitDeg)) turn = -static_cast<double>(kTurnLimitDeg);
  double course = AngleSum(out->Heading, turn);
  double mid = MeanAngle(out->Heading, course);
  LogPrintf(LOG_CRLF, "Projecting Position, Speed: %.1f, Distance: %.1f, Course, %.1f", v, distance, course);
  double lat, lon;
  DestinationPoint(out->Latitude * DEG_TO_RAD, out->Longitude * DEG_TO_RAD, mid * DEG_TO_RAD,
                   distance / EARTH_RADIUS_M, &lat, &lon);
  out->Latitude = lat * RAD_TO_DEG;
  out->Longitude = lon * RAD_TO_DEG;
  out->ValidFields |= FIX_LATITUDE | FIX_LONGITUDE;
  if (p.EnableSpeed == 1) {
    out->Speed = static_cast<float>(v);
    out->ValidFields |= FIX_SPEED;
  }
  if (p.EnableCourse == 1) {
    out->Heading = static_cast<float>(course);
    out->ValidFields |= FIX_HEADING;
  }
  return 1;
}

}  // namespace

int BuildOutputFix(FixRecord* out) {
  HistoryGuard guard;  // the settings too: a reload replaces them under this lock
  const ProfileSettings p = SourceProfile();
  WCHAR name[16] = {};
  FixRecord& prev = g_History.PrevFix;
  FixRecord& last = g_History.LastGoodFix;
  ClockNow(&out->UtcTime);
  LONG lag = TimeDifference(&prev.UtcTime, &out->UtcTime);
  LONG dms = TimeDifference(&last.UtcTime, &prev.UtcTime);
  if (AtomicRead(&g_Driver.CurrentPort) < 0 && FromReceiver(last) &&
      lag > static_cast<LONG>(p.DeltaTime) + kPortLossGraceMs) {  // the source is gone
    g_History.HaveFirstFix = 0;
    memset(&prev, 0, sizeof prev);
    ClockNow(&prev.UtcTime);
    last.UtcTime = prev.UtcTime;
    AddMilliseconds(&last.UtcTime, -60001);
    last.SourceKind = SOURCE_UNKNOWN;
    lag = 0;
    dms = 10000;
  }
  if (g_History.HaveFirstFix) {
    *out = prev;
    // However long the source is silent, the fix is carried no further than the stale time.
    if (lag <= kStaleDataMs) return Project(out, lag, dms);
    if (p.FallbackAsNoFix) {
      NoFix(out);
      return 0;
    }
    int moved = Project(out, kStaleDataMs, dms);
    Halt(out);
    return moved;
  }
  if (lag > kStaleDataMs || dms == 0) {
    ClearSatellites(&last);
    if (LoadStoredLocation(&last, name) == 1)
      LogPrintf(LOG_CRLF, "WWIB: returning CellTower Data (%s), Dms: %d, Lagms: %d", Utf8Of(name).text, 0, lag);
    else
      LogPrintf(LOG_CRLF, "WWIB: returning Last Known Data, Dms: %d, Lagms: %d", 0, lag);
    ClockNow(&last.UtcTime);
    ApplyCompass(&last, static_cast<float>(p.MinSpeed));
    *out = last;
    Halt(out);
    if (p.FallbackAsNoFix) NoFix(out);
    return 0;
  }
  if (dms >= kLostFixMs) {
    *out = prev;
    LogPrintf(LOG_CRLF, "WWIB: returning UnFixed Data, Dms: %d, Lagms: %d", dms, lag);
    return 0;
  }
  // The fix is lost for less than kLostFixMs: the last good fix (or the stored or tower position)
  // stands in for it, or the receiver's own no-fix data when the profile asks for no fallback.
  if (p.FallbackAsNoFix) {
    *out = prev;
    NoFix(out);
    ClockNow(&out->UtcTime);
    return 0;
  }
  *out = last;
  CopySatelliteData(out, &prev);
  if (!FromReceiver(*out)) {
    // The stored or tower position, or else the last known one: no receiver's fix either way.
    if (LoadStoredLocation(out, name) != 1) out->SourceKind = SOURCE_LAST_KNOWN;
    LogPrintf(LOG_CRLF, "WWIB: CellTower (%s)", Utf8Of(name).text);
    ApplyCompass(out, static_cast<float>(p.MinSpeed));
  } else {
    lag = dms;
  }
  if (lag <= kStaleDataMs) return Project(out, lag, dms);
  int moved = Project(out, kStaleDataMs, dms);
  Halt(out);
  return moved;
}
