// The driver's record in the API's conventions.
#include <cstring>
#include "support/units.h"
#include "api_replacement/pos_shim.h"

namespace {

constexpr DWORD kApiValidFields = 0x3FFFF;

}  // namespace

void ConvertDriverRecord(const FixRecord* raw, GPS_POSITION* out) {
  static_assert(sizeof(FixRecord) == sizeof(GPS_POSITION));
  memcpy(out, raw, sizeof *out);
  out->dwVersion = GPS_VERSION_1;
  out->dwSize = sizeof *out;
  out->dwFlags = 0;
  out->dwValidFields = raw->ValidFields & kApiValidFields;
  out->flSpeed = raw->Speed * static_cast<float>(kKnotsPerKmh);
  out->dblMagneticVariation = raw->MagVariation;
  if (raw->ValidFields & FIX_COURSE_FROM_COMPASS) {
    float heading = raw->MagHeading - raw->MagVariation;
    if (heading < 0) heading += 360;
    else if (heading >= 360) heading -= 360;
    out->flHeading = heading;
    out->dwValidFields |= GPS_VALID_HEADING;
  }
  out->flAltitudeWRTEllipsoid = raw->Separation + raw->AltitudeSeaLevel;
}
