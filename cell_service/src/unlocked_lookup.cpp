// The web lookups of one cell without the cell data lock: the caller holds it once and gives it
// up for the exchange, so that a stop, a publication or a power-down never waits for a server.
#include <mutex>
#include "cell_service/cell_db.h"
#include "cell_service/geolocate.h"
#include "cell_service/web_lookup.h"
#include "service_internal.h"

namespace {
// One lookup at a time, its answer read out of g_Lookup before the next one may write it.
std::mutex g_lookupOrder;
}  // namespace

int LookUpCellUnlocked(const ServingCell& cell, LONG stops, LookupResult* out) {
  UnlockCellData();
  int found = LOOKUP_NO_ANSWER;
  {
    std::lock_guard<std::mutex> order(g_lookupOrder);
    // A stop since the caller began ends its lookups: neither form is tried after it.
    auto stopped = [stops] { return WebLookupStops() != stops; };
    // The geolocation service first when one is named; the legacy forms when it has no answer.
    if (GeolocateConfigured() && !stopped()) {
      double accuracy = 0;
      found = GeolocateLookup(cell.Mcc, cell.Mnc, cell.Lac, cell.Cid, cell.SignalStrength, out, &accuracy);
      if (found == LOOKUP_FOUND) {
        LockCellData();
        return found;
      }
    }
    if (!stopped()) found = BinaryLookup(cell.Mcc, cell.Mnc, cell.Lac, cell.Cid);
    if (found != LOOKUP_FOUND && !stopped())
      found = JsonLookup(cell.Mcc, cell.Mnc, cell.Lac, cell.Cid, cell.SignalStrength,
                         static_cast<int>(cell.TimingAdvance));
    if (found == LOOKUP_FOUND) *out = g_Lookup;
  }
  LockCellData();
  return found;
}
