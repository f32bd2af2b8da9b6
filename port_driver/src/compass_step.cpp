// The compass step: at standstill the compass gives the course, while moving it is recorded as
// its deviation from the course over ground.
#include <atomic>
#include "compass.h"
#include "settings_store/settings.h"
#include "support/angles.h"

namespace {

void NoCompass(BYTE* orientation, double* heading) {
  *orientation = ORIENT_UNKNOWN;
  *heading = -1.0;
}

std::atomic<CompassReader> g_reader{NoCompass};

}  // namespace

void SetCompassReader(CompassReader reader) { g_reader = reader ? reader : NoCompass; }

void ReadCompass(BYTE* orientation, double* heading) { g_reader.load()(orientation, heading); }

int ApplyCompass(FixRecord* fix, float stationaryLimit) {
  bool stationary = fix->Speed <= stationaryLimit;
  BYTE orientation;
  double heading;
  ReadCompass(&orientation, &heading);
  fix->Orientation = orientation;
  fix->ProfileNumber = static_cast<BYTE>(g_System.CurrentProfile);
  if (heading < 0) return 0;
  fix->MagHeading = static_cast<float>(heading);
  if (stationary) {
    bool landscape = orientation == ORIENT_RIGHT_LANDSCAPE || orientation == ORIENT_LEFT_LANDSCAPE;
    fix->MagVariation = static_cast<float>(landscape ? g_Profile.MagLand : g_Profile.MagVal);
    fix->ValidFields |= FIX_MAG_VARIATION | FIX_COMPASS_IN_USE | FIX_MAG_HEADING | FIX_COURSE_FROM_COMPASS;
  } else {
    fix->MagVariation = static_cast<float>(AngleDifference(fix->Heading, heading));
    fix->ValidFields |= FIX_MAG_VARIATION | FIX_COMPASS_IN_USE | FIX_MAG_HEADING;
  }
  return 1;
}
