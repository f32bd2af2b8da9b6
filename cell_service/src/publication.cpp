// Publication: a position for the serving cell, from a fresh GPS fix of the driver, the cell
// database or the web lookup, written to Software\Quorvale\CellTower for the driver's fallback.
#include <cmath>
#include <cstdio>
#include "cell_service/cell_db.h"
#include "cell_service/imported_cells.h"
#include "cell_service/record_file.h"
#include "cell_service/geolocate.h"
#include "cell_service/web_lookup.h"
#include "service_internal.h"
#include "support/c_numbers.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/reg_helpers.h"

std::atomic<LONG> g_MaintenanceBusy{0};

namespace {

constexpr LPCWSTR kCellKey = u"Software\\Quorvale\\CellTower";
// A GPS position the driver wrote this long before now, or a little after (clocks of two
// processes), is where the phone is while it sees the cell.
constexpr LONGLONG kGpsRecentMs = 10000;
constexpr LONGLONG kGpsAheadMs = 2000;

LONG WriteText(HKEY key, LPCWSTR name, const char* text) {
  std::u16string wide = Utf8ToWide(text);
  return WriteString(key, name, wide.c_str());
}

double ReadCoordinate(HKEY key, LPCWSTR name) {
  WCHAR text[17] = {};
  if (ReadValue(key, name, text, 32) != ERROR_SUCCESS) return 0;
  std::string narrow = WideToUtf8(text);
  char* end = nullptr;
  float v = ParseCFloat(narrow.c_str(), &end);
  return end != narrow.c_str() && std::isfinite(v) ? v : 0;
}

// The driver's GPS position when it is recent; false otherwise.
bool RecentGps(HKEY key, const FILETIME& now, double* lat, double* lon) {
  FILETIME gps;
  if (ReadValue(key, u"LastGpsUpdateTime", &gps, 8) != ERROR_SUCCESS) return false;
  char a[32], b[32];
  FormatStamp(&now, a, sizeof a);
  FormatStamp(&gps, b, sizeof b);
  LogPrintf(0, "System: %s\r\n", a);
  LogPrintf(0, "Gps: %s\r\n", b);
  LONGLONG ageMs = (static_cast<LONGLONG>(FileTimeToU64(now)) - static_cast<LONGLONG>(FileTimeToU64(gps))) / static_cast<LONGLONG>(kFileTimePerMs);
  if (ageMs > kGpsRecentMs || ageMs < -kGpsAheadMs) return false;
  *lat = ReadCoordinate(key, u"Latitude");
  *lon = ReadCoordinate(key, u"Longitude");
  return PositionKnown(*lat, *lon);
}

// What the user can read of the service's work: the serving cell, where its published position
// came from ("None" when nothing was published for it) and the cells of its country's file.
void WriteStatus(HKEY key, const ServingCell& cell, const char* source) {
  char text[64];
  snprintf(text, sizeof text, "%u-%u-%u-%u", cell.Mcc, cell.Mnc, cell.Lac, cell.Cid);
  WriteText(key, u"CurrentCell", text);
  WriteDword(key, u"CellCount", RecCount(CellDbIndex(), sizeof(CellRecord)));
  WriteText(key, u"LastSource", source);
}

}  // namespace

FILETIME NowFileTime() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

namespace {

// A cell stored without a position is looked up again this long after its last lookup
// (CellTower "LookupRetrySeconds", default one day).
constexpr DWORD kDefaultLookupRetrySeconds = 86400;
DWORD g_lookupRetrySeconds = kDefaultLookupRetrySeconds;

// A positionless record keeps the time of its last lookup in Updated.
bool LookupDue(const CellRecord& r, const FILETIME& now) {
  if (CellHasPosition(r) || !(g_Cells.EnableCells & CELLS_INTERNET)) return false;
  ULONGLONG since = FileTimeToU64(now) - FileTimeToU64(r.Updated);
  return FileTimeToU64(r.Updated) > FileTimeToU64(now) || since >= g_lookupRetrySeconds * 10000000ULL;
}

// The serving cell's position from the imported cells (the learned record's key kept), stamped
// `now` as a cell seen again is: the driver takes the time as when the phone was there.
bool ImportedPosition(const ServingCell& cell, const FILETIME& now, CellRecord* r) {
  ImportedCell found;
  if (!FindImportedCell(cell.Mcc, cell.Mnc, cell.Lac, cell.Cid, &found)) return false;
  CellRecord imported;
  ImportedToRecord(found, &imported);
  LogPrintf(LOG_CRLF, "Imported %s cell: Lat=%.6f, Lon = %.6f", CellRadioName(ImportedRadio(found)), imported.Latitude,
            imported.Longitude);
  r->Latitude = imported.Latitude;
  r->Longitude = imported.Longitude;
  r->Updated = now;
  return CellHasPosition(*r);
}

}  // namespace

void ReadCellSettings() {
  HKEY key;
  g_lookupRetrySeconds = kDefaultLookupRetrySeconds;
  if (OpenKey(kCellKey, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"LookupRetrySeconds", &g_lookupRetrySeconds);
    ReadDword(key, u"MaxCells", &g_Cells.MaxCells);
    ReadDword(key, u"EnableCells", &g_Cells.EnableCells);
    DWORD mcc = 0;
    if (ReadDword(key, u"CurMcc", &mcc) == ERROR_SUCCESS && mcc != 0) g_Cells.CurMcc = mcc;
    RegCloseKey(key);
  }
  ReadLookupHost();
  ReadGeolocateSettings();
}

int WritePosition(const CellRecord* r, HKEY key) {
  if (!CellHasPosition(*r)) return 0;
  char text[32];
  // One batch: another process sees the old position or the new one whole, never a latitude of
  // one cell with the longitude or time of another. (The time stays last for older readers.)
  PlatformRegistryBeginBatch();
  FormatCNumber(text, sizeof text, "%.6f", r->Latitude);
  WriteText(key, u"Latitude", text);
  FormatCNumber(text, sizeof text, "%.6f", r->Longitude);
  WriteText(key, u"Longitude", text);
  snprintf(text, sizeof text, "%d", r->Cid);
  WriteText(key, u"LastCell", text);
  WriteValue(key, u"LastTowerUpdateTime", REG_BINARY, &r->Updated, sizeof r->Updated);
  if (!PlatformRegistryEndBatch()) LogLine(LOG_CRLF, "Cell position not published: the registry refused it");
  return 1;
}

bool PublishCell(const ServingCell& cell) {
  const LONG stops = WebLookupStops();
  if (g_MaintenanceBusy) return false;
  if (cell.Mcc == 0) return false;
  LockCellData();
  const DWORD previousMcc = g_Cells.CurMcc;
  if (UseCellDb(cell.Mcc) < 0) {
    UnlockCellData();
    return false;
  }
  HKEY key;
  if (CreateKey(kCellKey, &key) != ERROR_SUCCESS) {
    UnlockCellData();
    return false;
  }
  if (cell.Mcc != previousMcc) WriteDword(key, u"CurMcc", cell.Mcc);
  const FILETIME now = NowFileTime();
  CellRecord r{};
  r.Mnc = static_cast<LONG>(cell.Mnc);
  r.Lac = static_cast<LONG>(cell.Lac);
  r.Cid = static_cast<LONG>(cell.Cid);
  FindCell(&r);
  double lat, lon;
  const char* source = "None";
  if (RecentGps(key, now, &lat, &lon)) {
    r.Updated = now;
    r.Latitude = lat;
    r.Longitude = lon;
    StoreCell(&r);
    WritePosition(&r, key);
    source = "GPS";
  } else if (r.Slot < kRecordMissing && CellHasPosition(r)) {
    r.Updated = now;  // seen again
    StoreCell(&r);
    if (WritePosition(&r, key)) source = "Database";
  } else if (ImportedPosition(cell, now, &r)) {
    // The imported cells answer without the network, also for a cell learned without a position
    // before the import; they are not copied into the learned file.
    if (WritePosition(&r, key)) source = "Imported";
  } else if (r.Slot < kRecordMissing && !LookupDue(r, now)) {
    StoreCell(&r);  // seen again without a position: it keeps the time of its last lookup, for the retry
  } else {
    if (g_Cells.EnableCells & CELLS_INTERNET) {
      LookupResult answer{};
      int found = LookUpCellUnlocked(cell, stops, &answer);
      // The database may have been closed or changed during the exchange: the cell is found again.
      if (UseCellDb(cell.Mcc) < 0) {
        RegCloseKey(key);
        UnlockCellData();
        return false;
      }
      FindCell(&r);
      r.Updated = now;  // with a position its time; without one the time of this lookup
      if (found == LOOKUP_FOUND) {
        r.Latitude = answer.Latitude;
        r.Longitude = answer.Longitude;
      }
      if (WritePosition(&r, key)) source = "Web";
    }
    StoreCell(&r);
  }
  WriteStatus(key, cell, source);
  RegCloseKey(key);
  UnlockCellData();
  return true;
}
