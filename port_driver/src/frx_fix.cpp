// FrxFix: the input side of the correction stage. Throws out fixes without position, captures
// the first good fix, holds the position at standstill and derives speed and course from the
// movement when the profile asks for it.
#include <cmath>
#include <cstring>
#include "port_driver/driver_state.h"
#include "fix_history_lock.h"
#include "compass.h"
#include "support/geodesy.h"
#include "settings_store/settings.h"
#include "support/log.h"

void CopySatelliteData(FixRecord* to, const FixRecord* from) {
  to->SatelliteCount = from->SatelliteCount;
  memcpy(to->UsedPrns, from->UsedPrns, sizeof to->UsedPrns);
  to->SatellitesInView = from->SatellitesInView;
  memcpy(to->InViewPrns, from->InViewPrns, sizeof to->InViewPrns);
  memcpy(to->InViewElevation, from->InViewElevation, sizeof to->InViewElevation);
  memcpy(to->InViewAzimuth, from->InViewAzimuth, sizeof to->InViewAzimuth);
  memcpy(to->InViewSnr, from->InViewSnr, sizeof to->InViewSnr);
  to->ValidFields = (to->ValidFields & ~FIX_SATELLITE_GROUP) | (from->ValidFields & FIX_SATELLITE_GROUP);
}

void FrxFix(FixRecord* fix) {
  const ProfileSettings p = SourceProfile();
  ApplyCompass(fix, static_cast<float>(p.MinSpeed));
  HistoryGuard guard;
  FixRecord& prev = g_History.PrevFix;
  if ((fix->ValidFields & FIX_POSITION_GROUP) != FIX_POSITION_GROUP || fix->FixQuality == 0 || fix->FixType == 0) {
    LogLine(LOG_CRLF, "UnFixed GPS in Frx Fix");
    prev = *fix;
    g_History.HaveFirstFix = 0;
    return;
  }
  if (fix->SatelliteCount == 0 && prev.SatelliteCount != 0) CopySatelliteData(fix, &prev);
  if (!g_History.HaveFirstFix) {
    LogLine(LOG_CRLF, "Saving First good position");
    g_History.Still = StillState{};  // a standstill of the fixes before belongs to them
    prev = *fix;
    g_History.LastGoodFix = prev;
    g_History.HaveFirstFix = 1;
    if (g_System.EnableQuiet == 0) MessageBeep(MB_OK);
    return;
  }
  if (p.EnableCourse + p.EnableSpeed == 0) {
    LogLine(LOG_CRLF, "No Work to do in Frx Fix");
    prev = *fix;
    g_History.LastGoodFix = prev;
    return;
  }
  LONG dms = TimeDifference(&prev.UtcTime, &fix->UtcTime);
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "Dms: %d GpsSpeed: %.1f", dms, fix->Speed);
  if (p.HonestStill && (fix->ValidFields & FIX_SPEED) && fix->Speed < p.MinSpeed) {
    if (HonestStandstill(fix)) {
      if (dms > kLagFloorMs) g_History.LastGoodFix = prev;
      prev = *fix;
      return;
    }
  } else {
    g_History.Still.count = g_History.Still.next = g_History.Still.votes = 0;  // moving
  }
  if (p.Smooth) SmoothTrack(fix, dms);
  bool receiverStands = (p.EnableSpeed != 1 && fix->Speed >= p.MinSpeed) || p.EnableSpeed == 0;
  if (!receiverStands) {
    double bearing, distance;
    GreatCircle(prev.Latitude * DEG_TO_RAD, prev.Longitude * DEG_TO_RAD, fix->Latitude * DEG_TO_RAD,
                fix->Longitude * DEG_TO_RAD, &bearing, &distance);
    // Two fixes with the same (or an earlier) time give no movement speed: keep the receiver's.
    double moveSpeed = dms > 0 ? distance * 3600 / dms : fix->Speed;
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Speed: %.1f Distance: %.1f Course: %.1f", moveSpeed, distance, bearing);
    double limit = fix->Hdop != 0 ? p.DeltaDistance * fix->Hdop : p.DeltaDistance;
    bool compass = fix->ValidFields & FIX_COMPASS_IN_USE;
    if (distance < limit) {
      if (dms < static_cast<LONG>(p.DeltaTime)) {  // hold the position where the device stopped
        g_History.LastGoodFix.Speed = prev.Speed;
        fix->UtcTime = prev.UtcTime;
        fix->Latitude = prev.Latitude;
        fix->Longitude = prev.Longitude;
        fix->Speed = 0;
        if (!compass) fix->Heading = prev.Heading;
        prev = *fix;
        return;
      }
      fix->Speed = 0;  // held long enough: the receiver's position is taken over
      if (!compass) fix->Heading = prev.Heading;
    } else {
      fix->Speed = moveSpeed < p.MinSpeed ? 0.0f : static_cast<float>(moveSpeed);
      if (p.EnableCourse != 0 && !compass) fix->Heading = static_cast<float>(bearing);
    }
  }
  if (dms > kLagFloorMs) g_History.LastGoodFix = prev;
  prev = *fix;
}
