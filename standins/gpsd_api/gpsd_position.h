// gpsd's reports as the platform's position record.
#pragma once
#include <gps.h>
#include "platform/gps_api.h"

// Fills `out` from gpsd's last fix and sky view: a valid bit only for what gpsd gave (NaN is
// absent). Speed in knots, the magnetic variation with the record's sign (west positive), used
// satellites first and then by signal strength in the 12 slots, the counts as gpsd has them.
void GpsdToPosition(const gps_data_t& data, GPS_POSITION* out);
