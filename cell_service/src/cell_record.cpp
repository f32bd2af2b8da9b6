// Cell keys and known positions.
#include "cell_service/cell_record.h"
#include <cmath>
#include "platform/platform.h"

bool PositionKnown(double latitude, double longitude) {
  double sum = std::fabs(latitude) + std::fabs(longitude);
  return std::isfinite(sum) && sum > 0.0000005;
}

int CompareCells(const void* a, const void* b) {
  const CellRecord* x = static_cast<const CellRecord*>(a);
  const CellRecord* y = static_cast<const CellRecord*>(b);
  if (x->Mnc != y->Mnc) return x->Mnc < y->Mnc ? -1 : 1;
  if (x->Lac != y->Lac) return x->Lac < y->Lac ? -1 : 1;
  if (x->Cid != y->Cid) return x->Cid < y->Cid ? -1 : 1;
  return 0;
}

bool CellRecordInRange(const CellRecord& r) {
  if (!std::isfinite(r.Latitude) || !std::isfinite(r.Longitude) || std::fabs(r.Latitude) > 90 ||
      std::fabs(r.Longitude) > 180)
    return false;
  const ULONGLONG t = FileTimeToU64(r.Updated);
  return t <= kFileTimeUnixEpoch + static_cast<ULONGLONG>(kLatestCellUpdate) * kFileTimePerSecond;
}
