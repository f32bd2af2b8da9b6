// The cell database files: which one is open, find, store, trim and repair.
#include "cell_service/cell_db.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "cell_service/record_file.h"
#include "support/log.h"

CellSettings g_Cells = {500, 13, 0};

namespace {

CRITICAL_SECTION g_dataLock;
struct DataLockInit {
  DataLockInit() { InitializeCriticalSection(&g_dataLock); }
} g_dataLockInit;

char g_dbName[32];  // "<mcc>.dbc" of the open database, "" when none
int g_dbIndex = -1;

bool Newer(const CellRecord& a, const CellRecord& b) {
  return FileTimeToU64(a.Updated) > FileTimeToU64(b.Updated);
}

}  // namespace

void LockCellData() { EnterCriticalSection(&g_dataLock); }
void UnlockCellData() { LeaveCriticalSection(&g_dataLock); }

void CellDbPath(DWORD mcc, char* out, size_t size) { snprintf(out, size, "\\Quorvale\\%u.dbc", mcc); }

int CellDbIndex() { return g_dbIndex; }

int RepairCellFile(int index) {
  const char* path = RecPath(index);
  DWORD n = RecCount(index, sizeof(CellRecord));
  // A partial record at the end is what a crash in an append leaves.
  bool bytes = RecSize(index) % sizeof(CellRecord) != 0;
  std::vector<CellRecord> records(n);
  if (n && RecReadBlock(index, 0, records.data(), n * sizeof(CellRecord), nullptr) != 0) return -1;
  bool sorted = true;
  for (DWORD i = 1; i < n && sorted; ++i) sorted = CompareCells(&records[i - 1], &records[i]) < 0;
  const DWORD outOfRange = static_cast<DWORD>(
      std::count_if(records.begin(), records.end(), [](const CellRecord& r) { return !CellRecordInRange(r); }));
  if (sorted && !bytes && !outOfRange) return 0;
  records.erase(std::remove_if(records.begin(), records.end(), [](const CellRecord& r) { return !CellRecordInRange(r); }),
                records.end());
  std::stable_sort(records.begin(), records.end(),
                   [](const CellRecord& a, const CellRecord& b) { return CompareCells(&a, &b) < 0; });
  std::vector<CellRecord> unique;
  for (const CellRecord& r : records) {
    if (!unique.empty() && CompareCells(&unique.back(), &r) == 0) {
      if (Newer(r, unique.back())) unique.back() = r;
      continue;
    }
    unique.push_back(r);
  }
  LogPrintf(LOG_CRLF, "Repaired %s: %u records, %u out of range dropped, %u duplicates merged, %s", path, n,
            outOfRange, static_cast<DWORD>(n - outOfRange - unique.size()), bytes ? "partial record dropped" : "sorted");
  if (RecReplace(index, unique.data(), static_cast<DWORD>(unique.size()), sizeof(CellRecord)) != 0) {
    LogPrintf(LOG_CRLF, "Cannot rewrite %s: it stays as it was", path);
    return -1;
  }
  return 1;
}

int UseCellDb(DWORD mcc) {
  char name[32];
  snprintf(name, sizeof name, "%u.dbc", mcc);
  if (g_dbIndex >= 0 && strcmp(name, g_dbName) == 0) return g_dbIndex;
  CloseCellDb();
  LogPrintf(LOG_CRLF, "Now using Cell DB: %s", name);
  char path[64];
  CellDbPath(mcc, path, sizeof path);
  // A rewrite cut short leaves its temporary file: the database itself is the old or new one.
  char tmp[72];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  RecRemove(tmp);
  g_dbIndex = RecOpen(path, kRecordModeReadWrite);
  if (g_dbIndex < 0) return -1;  // not remembered: the next publication tries again
  snprintf(g_dbName, sizeof g_dbName, "%s", name);
  g_Cells.CurMcc = mcc;
  if (RepairCellFile(g_dbIndex) < 0) {
    // A file that needs a repair it cannot get is not searched or added to: the next use tries again.
    CloseCellDb();
    return -1;
  }
  return g_dbIndex;
}

void CloseCellDb() {
  LogLine(LOG_CRLF, "Close cell data file");
  if (g_dbIndex >= 0) RecClose(g_dbIndex);
  g_dbIndex = -1;
  g_dbName[0] = 0;
}

void LogCell(const CellRecord* r, const char* text) {
  char rec[16];
  if (r->Slot == kRecordFailed) snprintf(rec, sizeof rec, "Fail");
  else if (r->Slot == kRecordMissing) snprintf(rec, sizeof rec, "Missing");
  else snprintf(rec, sizeof rec, "%u", r->Slot);
  LogPrintf(LOG_CRLF, "%s: Cell=%d, Lac=%d, Mnc=%d, rec=%s, Lat=%.6f, Lon = %.6f", text, r->Cid, r->Lac, r->Mnc, rec,
            r->Latitude, r->Longitude);
}

void FindCell(CellRecord* r) {
  WORD outcome = kRecordFailed;
  DWORD at = g_dbIndex >= 0 ? RecSearch(g_dbIndex, r, sizeof *r, CompareCells, &outcome) : 0;
  // Record numbers above 0xFFFD can't be told from the outcomes: such a record counts as failed.
  r->Slot = outcome != 0 ? outcome : (at < kRecordMissing ? static_cast<WORD>(at) : kRecordFailed);
  LogCell(r, "Find");
}

namespace {

// Every record of the open file; empty when it can't be read.
std::vector<CellRecord> AllCells() {
  DWORD n = RecCount(g_dbIndex, sizeof(CellRecord));
  std::vector<CellRecord> all;
  if (n == 0) return all;
  all.resize(n);
  if (RecReadBlock(g_dbIndex, 0, all.data(), n * sizeof(CellRecord), nullptr) != 0) all.clear();
  return all;
}

bool Learned(const CellRecord& r) { return r.Reserved != kCellImported; }

}  // namespace

// MaxCells bounds what the service learns: only learned records count and only they are
// dropped, the oldest tenth beyond the limit; imported ones stay whatever their number.
void TrimCellDb() {
  if (g_dbIndex < 0) return;
  if (RecCount(g_dbIndex, sizeof(CellRecord)) < g_Cells.MaxCells) return;
  std::vector<CellRecord> all = AllCells();
  if (all.empty()) return;
  DWORD learned = static_cast<DWORD>(std::count_if(all.begin(), all.end(), Learned)), m = g_Cells.MaxCells;
  if (learned < m) return;
  DWORD drop = m / 10 + learned - m;
  if (drop == 0) return;
  // The learned records, oldest first; the first `drop` of them go.
  std::vector<CellRecord*> byAge;
  for (CellRecord& r : all)
    if (Learned(r)) byAge.push_back(&r);
  std::sort(byAge.begin(), byAge.end(), [](const CellRecord* a, const CellRecord* b) {
    ULONGLONG x = FileTimeToU64(a->Updated), y = FileTimeToU64(b->Updated);
    return x != y ? x < y : CompareCells(a, b) < 0;
  });
  if (drop > byAge.size()) drop = static_cast<DWORD>(byAge.size());
  for (DWORD i = 0; i < drop; ++i) byAge[i]->Slot = kRecordFailed;  // marked to go
  std::vector<CellRecord> kept;
  kept.reserve(all.size() - drop);
  for (const CellRecord& r : all)
    if (r.Slot != kRecordFailed) kept.push_back(r);
  for (CellRecord& r : kept) r.Slot = 0;
  LogPrintf(LOG_CRLF, "Trimmed %s: %u learned cells dropped, %u kept", g_dbName, drop, static_cast<DWORD>(kept.size()));
  RecReplace(g_dbIndex, kept.data(), static_cast<DWORD>(kept.size()), sizeof(CellRecord));
}

LONG StoreCell(CellRecord* r) {
  if (g_dbIndex < 0) return -1;
  if (r->Slot < kRecordMissing) {
    LogCell(r, "Update existing record");
    return RecWrite(g_dbIndex, r, sizeof *r, r->Slot);
  }
  if (r->Slot != kRecordMissing) {
    LogPrintf(LOG_CRLF | LOG_TAB, "Update a Missing record in %s", g_dbName);
    return -1;
  }
  LogCell(r, "Create new record");
  if (RecCount(g_dbIndex, sizeof *r) >= g_Cells.MaxCells) TrimCellDb();
  if (RecCount(g_dbIndex, sizeof *r) >= kRecordFileLimit) {
    // Record numbers beyond the limit could not be told from the outcomes of a search.
    LogPrintf(LOG_CRLF, "Cell not stored: %s holds %u cells, the most a file can", g_dbName, kRecordFileLimit);
    return -1;
  }
  r->Reserved = 0;  // learned
  return RecAdd(g_dbIndex, r, sizeof *r, CompareCells);
}
