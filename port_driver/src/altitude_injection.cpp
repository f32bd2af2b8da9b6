// Per-port altitude correction: decide once how a port reports its altitudes, then rewrite the
// two fields so that AltitudeSeaLevel is above mean sea level and Separation the table's geoid.
#include <cmath>
#include <mutex>
#include "geoid_state.h"
#include "geoid.h"
#include "settings_store/settings.h"
#include "support/angles.h"
#include "support/log.h"

namespace {

signed char DetermineType(const FixRecord* fix, int port, bool altitudeChanged, bool separationChanged) {
  if (port == 0) {  // the platform GPS API
    if (!altitudeChanged) return std::fabs(fix->AltitudeSeaLevel) < 0.1f ? ALT_ELLIPSOID_IN_SEPARATION
                                                                         : ALT_SEA_LEVEL_AND_ELLIPSOID;
    if (separationChanged) return ALT_SEA_LEVEL_AND_ELLIPSOID;
    return std::fabs(fix->Separation) < 0.1f ? ALT_ELLIPSOID_IN_SEA_LEVEL : ALT_AS_NMEA;
  }
  if (!altitudeChanged) return ALT_ELLIPSOID_IN_SEPARATION;
  if (separationChanged) return ALT_AS_NMEA;
  return std::fabs(fix->Separation) < 0.01f ? ALT_ELLIPSOID_IN_SEA_LEVEL : ALT_AS_NMEA;
}

// The altitude fields are marked valid when they hold a number: a field the receiver's sentence
// broke (not a number) stays unmarked, and so does what is computed from it.
void MarkAltitudes(FixRecord* fix) {
  if (std::isfinite(fix->AltitudeSeaLevel)) fix->ValidFields |= FIX_ALTITUDE_SEA_LEVEL;
  else fix->ValidFields &= ~FIX_ALTITUDE_SEA_LEVEL;
  if (std::isfinite(fix->Separation)) fix->ValidFields |= FIX_SEPARATION;
  else fix->ValidFields &= ~FIX_SEPARATION;
}

}  // namespace

namespace {
// The geoid cache and the ports' altitude types are one state for the reader and the scan thread.
std::mutex g_injectionLock;
}  // namespace

void InjectSeparation(FixRecord* fix, int port) {
  if (port < 0 || port > 9) return;
  std::lock_guard<std::mutex> lock(g_injectionLock);
  if (g_System.EnableAltSep == 0) {
    MarkAltitudes(fix);
    return;
  }
  PortAltitude& p = g_Geoid.ports[port];
  signed char type = p.type;
  const bool fixed = fix->FixQuality != 0 && fix->FixType != 0;
  if (type == ALT_UNKNOWN && !fixed) return;
  // Only a fix with both altitudes given tells how the port reports them: a burst of refused
  // values must not decide the type every later fix is corrected by.
  const bool measurable = std::isfinite(fix->AltitudeSeaLevel) && std::isfinite(fix->Separation);
  if ((type == ALT_UNKNOWN || p.redetect) && fixed && measurable) {
    if (!p.haveReference) {
      p.referenceAltitude = fix->AltitudeSeaLevel;
      p.referenceSeparation = fix->Separation;
      p.haveReference = 1;
    } else {
      bool a = AnglesDiffer(fix->AltitudeSeaLevel, p.referenceAltitude);
      bool s = AnglesDiffer(fix->Separation, p.referenceSeparation);
      if (a || s) {
        type = p.type = DetermineType(fix, port, a, s);
        p.redetect = 0;
        LogPrintf(LOG_CRLF, "Determined port %d is Altitude type %d", port, type);
      }
    }
  }
  unsigned char before = g_Geoid.refreshCounter;
  if (g_Geoid.separation != kSeparationUnknown) ++g_Geoid.refreshCounter;
  if (g_Geoid.separation == kSeparationUnknown || before == 0) {
    if (!fixed) {
      // Only a fixed position is looked up: an unfixed record's 0 N 0 E would give every later
      // fix the separation of the Gulf of Guinea. The refresh waits for the next fix.
      if (g_Geoid.separation != kSeparationUnknown) g_Geoid.refreshCounter = 0;
    } else {
      GetGeoid(fix->Latitude, fix->Longitude, &g_Geoid.separation);
      // The port's type is determined again, while the one found goes on correcting: a refresh
      // never lets a fix out uncorrected.
      p.haveReference = 0;
      p.redetect = p.type != ALT_UNKNOWN;
    }
  }
  if (g_Geoid.separation == kSeparationUnknown) {
    MarkAltitudes(fix);
    return;
  }
  float s = g_Geoid.separation;
  LogPrintf(LOG_CRLF, "Injecting Seperation value %.1f for port %d", s, port);
  bool replace = g_System.EnableAltSep == 2;
  switch (type) {
    case ALT_ELLIPSOID_IN_SEPARATION:
      fix->AltitudeSeaLevel = fix->Separation - s;
      fix->Separation = s;
      break;
    case ALT_SEA_LEVEL_AND_ELLIPSOID:
      fix->Separation = replace ? s : fix->Separation - fix->AltitudeSeaLevel;
      break;
    case ALT_ELLIPSOID_IN_SEA_LEVEL:
      fix->AltitudeSeaLevel = fix->AltitudeSeaLevel - s;
      fix->Separation = s;
      break;
    case ALT_AS_NMEA:
      if (replace) fix->Separation = s;
      break;
    default:
      break;
  }
  MarkAltitudes(fix);
}

void ClearAltitudeReference(int port) {
  if (port >= 0 && port <= 9) g_Geoid.ports[port].haveReference = 0;
}

signed char PortAltitudeType(int port) { return port >= 0 && port <= 9 ? g_Geoid.ports[port].type : ALT_UNKNOWN; }
