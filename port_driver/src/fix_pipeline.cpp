#include "port_driver/fix_pipeline.h"
#include <cmath>
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "location_store.h"
#include "settings_store/settings.h"
#include "track_log.h"
#include "support/log.h"

static float ClampDop(float dop) { return (dop >= 0.5f && dop <= 5.0f) ? dop : 1.0f; }

void ClampDops(FixRecord* fix) {
  fix->Pdop = ClampDop(fix->Pdop);
  fix->Hdop = ClampDop(fix->Hdop);
  fix->Vdop = ClampDop(fix->Vdop);
}

int ProcessParsedFix(FixRecord* input) {
  if (g_System.EnableTrack > 1) WriteTrackPoint(input, TRACK_IN);
  if (g_Profile.EnableDop) ClampDops(input);
  input->SourceKind = static_cast<BYTE>(AtomicRead(&g_Driver.CurrentPort) + 1);
  if (input->SatelliteCount > input->SatellitesInView) input->SatelliteCount = input->SatellitesInView;
  g_Driver.ErrorCount = 0;
  LogPrintf(LOG_VERBOSE, "Valid Fields: %X\r\n", input->ValidFields);
  if (input->ValidFields == 0) return 0;
  FrxFix(input);
  return 1;
}

void StoreFixPosition(const FixRecord* input) {
  if ((input->ValidFields & FIX_POSITION_GROUP) == FIX_POSITION_GROUP && input->FixQuality && input->FixType)
    SaveGpsLocation(input->Latitude, input->Longitude, &input->UtcTime);
  else
    FlushGpsLocation();  // the run of fixes ended: its last position is not held back
}
