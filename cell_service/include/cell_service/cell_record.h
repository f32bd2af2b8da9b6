// A cell as the cell database files hold it: 40 bytes, little-endian, sorted by MNC, LAC, CID.
#pragma once
#include <cstddef>
#include "platform/types.h"

struct CellRecord {
  WORD Slot;      // scratch: the last search's record number, kRecordMissing or kRecordFailed
  WORD Reserved;  // the record's origin: kCellImported, or 0 for one the service learned
  LONG Mnc;
  LONG Lac;
  LONG Cid;
  FILETIME Updated;  // UTC
  double Latitude;
  double Longitude;
};
static_assert(sizeof(CellRecord) == 40);
// Reserved of a record an import wrote: the limit on what the service learns (MaxCells) never
// trims it. Readers that know nothing of it ignore the field, as before.
constexpr WORD kCellImported = 1;
static_assert(offsetof(CellRecord, Mnc) == 4);
static_assert(offsetof(CellRecord, Lac) == 8);
static_assert(offsetof(CellRecord, Cid) == 12);
static_assert(offsetof(CellRecord, Updated) == 16);
static_assert(offsetof(CellRecord, Latitude) == 24);
static_assert(offsetof(CellRecord, Longitude) == 32);

// Records of the old per-LAC files "<MCC>-<MNC>-<LAC>.cdb": the fields the import reads.
struct OldCellRecord {
  DWORD Unused0;
  LONG Cid;
  DWORD Unused8;
  FILETIME Updated;
  DWORD Unused20;
  double Latitude;
  double Longitude;
};
static_assert(sizeof(OldCellRecord) == 40);
static_assert(offsetof(OldCellRecord, Cid) == 4);
static_assert(offsetof(OldCellRecord, Updated) == 12);
static_assert(offsetof(OldCellRecord, Latitude) == 24);
static_assert(offsetof(OldCellRecord, Longitude) == 32);

// A position is known when |latitude| + |longitude| exceeds half a millionth of a degree.
bool PositionKnown(double latitude, double longitude);
inline bool CellHasPosition(const CellRecord& r) { return PositionKnown(r.Latitude, r.Longitude); }
// A record every reader takes: a finite position on the globe (or none) and an update time no
// later than 2100 (a later one overflowed into year 0 in the tower map). Out-of-range ones are refused at import, reported by verify, dropped by
// repair: a GPX of them fails its schema, and they would be published.
bool CellRecordInRange(const CellRecord& r);
// The last update time an import takes, in seconds since 1970 (2100-01-01).
constexpr long long kLatestCellUpdate = 4102444800LL;
// Key order: MNC, then LAC, then CID (signed).
int CompareCells(const void* a, const void* b);
