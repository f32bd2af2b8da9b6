// Maintenance jobs: the tower map (one GPX file of waypoints per database file) and the database
// update (import of old per-LAC files, then lookups for cells still without a position).
#include <cstdio>
#include <cstring>
#include <string>
#include "cell_service/cell_db.h"
#include "cell_service/imported_cells.h"
#include "cell_service/record_file.h"
#include "cell_service/web_lookup.h"
#include "service_internal.h"
#include "support/c_numbers.h"
#include "support/log.h"

namespace {

// The service's stops when the running job began: a stop since ends its lookups.
LONG g_jobStops;

struct BusyJob {
  BusyJob() {
    g_MaintenanceBusy = 1;
    LockCellData();
    g_jobStops = WebLookupStops();
  }
  ~BusyJob() {
    UnlockCellData();
    g_MaintenanceBusy = 0;
  }
};

const char kGpxHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n"
    "<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"MapSource 6.15.6\" version=\"1.1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\r\n"
    "\r\n";
const char kGpxTrailer[] = "\r\n</gpx>\r\n";

bool Put(HANDLE file, const char* text) {
  DWORD n = static_cast<DWORD>(strlen(text)), done = 0;
  return WriteFile(file, text, n, &done, nullptr) && done == n;
}

bool PutWaypoint(HANDLE file, const CellRecord& r) {
  char lat[32], lon[32], line[512];
  FormatCNumber(lat, sizeof lat, "%.6f", r.Latitude);
  FormatCNumber(lon, sizeof lon, "%.6f", r.Longitude);
  SYSTEMTIME t{};
  FileTimeToSystemTime(&r.Updated, &t);
  snprintf(line, sizeof line,
           "   <wpt lat=\"%s\" lon=\"%s\">\r\n"
           "      <time>%04d-%02d-%02dT%02d:%02d:%02dZ</time>\r\n"
           "      <name>%d-%d-%d</name>\r\n"
           "          <sym>Radio Beacon</sym>\r\n"
           "      <extensions>\r\n"
           "         <gpxx:WaypointExtension xmlns:gpxx=\"http://www.garmin.com/xmlschemas/GpxExtensions/v3\">\r\n"
           "            <gpxx:DisplayMode>SymbolAndName</gpxx:DisplayMode>\r\n"
           "         </gpxx:WaypointExtension>\r\n"
           "      </extensions>\r\n"
           "   </wpt>\r\n",
           lat, lon, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, r.Mnc, r.Lac, r.Cid);
  return Put(file, line);
}

std::u16string Wide(const std::string& s) { return Utf8ToWide(s.c_str()); }

// A map is written into "<gpx>.tmp", which replaces `gpx` whole once it is complete: the
// temporary file with its header, or INVALID_HANDLE_VALUE (logged).
HANDLE BeginGpx(const std::string& gpx, bool* ok) {
  HANDLE out = CreateFileW(Wide(gpx + ".tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) LogPrintf(LOG_CRLF, "GpxOpenFile Failed %s", gpx.c_str());
  else *ok = Put(out, kGpxHeader);
  return out;
}

// The trailer, then the temporary file in the map's place; true when the map was replaced.
bool EndGpx(HANDLE out, const std::string& gpx, bool ok) {
  ok = ok && Put(out, kGpxTrailer) && FlushFileBuffers(out);
  CloseHandle(out);
  std::string tmp = gpx + ".tmp";
  if (ok && MoveFileExW(Wide(tmp).c_str(), Wide(gpx).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  LogPrintf(LOG_CRLF, "GpxOpenFile Failed %s", gpx.c_str());
  DeleteFileW(Wide(tmp).c_str());
  return false;
}

// Writes the map of one database file into `gpx`.
void ExportFile(int index, const std::string& gpx) {
  bool ok = false;
  HANDLE out = BeginGpx(gpx, &ok);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD n = RecCount(index, sizeof(CellRecord));
  for (DWORD i = 0; i < n && ok; ++i) {
    CellRecord r;
    if (RecRead(index, &r, sizeof r, i) != 0) continue;
    if (CellHasPosition(r)) ok = PutWaypoint(out, r);
  }
  EndGpx(out, gpx, ok);
}

// The imported map being written: one file per country, begun at its first cell.
struct ImportedMap {
  unsigned mcc = 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string gpx;
  bool ok = true;
  int written = 0;
};

void EndImportedMapFile(ImportedMap* m) {
  if (m->file == INVALID_HANDLE_VALUE) return;
  m->written += EndGpx(m->file, m->gpx, m->ok);
  m->file = INVALID_HANDLE_VALUE;
}

bool PutImportedCell(const ImportedCell& c, void* context) {
  ImportedMap* m = static_cast<ImportedMap*>(context);
  if (ImportedMcc(c) != m->mcc || m->file == INVALID_HANDLE_VALUE) {
    EndImportedMapFile(m);
    m->mcc = ImportedMcc(c);
    m->gpx = "\\Quorvale\\" + std::to_string(m->mcc) + "-imported.gpx";
    m->file = BeginGpx(m->gpx, &m->ok);
    if (m->file == INVALID_HANDLE_VALUE) return false;
  }
  CellRecord r;
  ImportedToRecord(c, &r);
  m->ok = m->ok && PutWaypoint(m->file, r);
  return m->ok;
}

// Looks a positionless cell up (binary form, then JSON) without the data lock; with the lock
// back, the cell's record is found again in its country's file (it may have moved meanwhile) and
// given the position and now's time. False when nothing was found, the file cannot be opened or
// the service was stopped since the job began.
bool LookUpAndFind(DWORD mcc, CellRecord* r) {
  ServingCell cell{mcc, static_cast<DWORD>(r->Mnc), static_cast<DWORD>(r->Lac), static_cast<DWORD>(r->Cid), 0, 0};
  LookupResult answer{};
  int found = LookUpCellUnlocked(cell, g_jobStops, &answer);
  if (UseCellDb(mcc) < 0) return false;
  FindCell(r);
  if (found != LOOKUP_FOUND) return false;
  r->Updated = NowFileTime();
  r->Latitude = answer.Latitude;
  r->Longitude = answer.Longitude;
  return true;
}

// Imports one old file; the number of its records that could not be stored.
DWORD ImportOldFile(const char* name) {
  LogPrintf(LOG_CRLF, "Importing: %s", name);
  int mcc = 0, mnc = 0, lac = 0;
  if (sscanf(name, "%d-%d-%d", &mcc, &mnc, &lac) != 3 || mcc <= 0) return 1;
  std::string path = std::string("\\Quorvale\\") + name;
  int old = RecOpen(path.c_str(), kRecordModeReadWrite);
  if (old < 0) return 1;
  DWORD failed = 0, n = RecCount(old, sizeof(OldCellRecord));
  for (DWORD i = 0; i < n; ++i) {
    OldCellRecord o;
    if (RecRead(old, &o, sizeof o, i) != 0) {
      ++failed;
      continue;
    }
    if (UseCellDb(static_cast<DWORD>(mcc)) < 0) {
      LogPrintf(LOG_CRLF, "Can't open db file: %d", mcc);
      ++failed;
      continue;
    }
    CellRecord r{};
    r.Mnc = mnc;
    r.Lac = lac;
    r.Cid = o.Cid;
    FindCell(&r);
    bool found = r.Slot < kRecordMissing;
    if (found && FileTimeToU64(r.Updated) > FileTimeToU64(o.Updated)) continue;  // ours is newer
    const CellRecord stored = r;
    r.Updated = o.Updated;
    r.Latitude = o.Latitude;
    r.Longitude = o.Longitude;
    if (!CellHasPosition(r)) {
      LogLine(LOG_CRLF, "Update DB with no coords\r\n");
      // A known position is never replaced by none.
      if (!LookUpAndFind(static_cast<DWORD>(mcc), &r) && found && CellHasPosition(stored)) continue;
    }
    if (StoreCell(&r) != 0) ++failed;
  }
  RecClose(old);
  return failed;
}

}  // namespace

void ExportTowerMap() {
  BusyJob job;
  LogLine(LOG_CRLF, "Map Towers to GPX");
  FileNode* list = RecList("\\Quorvale\\*.dbc");
  for (FileNode* f = list; f; f = f->next) {
    LogPrintf(LOG_CRLF, "Scanning: %s", f->name);
    std::string path = std::string("\\Quorvale\\") + f->name;
    int index = RecOpen(path.c_str(), kRecordModeReadWrite);
    if (index < 0) continue;
    ExportFile(index, path.substr(0, path.find('.')) + ".gpx");
    RecClose(index);
  }
  RecFreeList(list);
}

int ExportImportedMap() {
  LogLine(LOG_CRLF, "Map Imported Towers to GPX");
  ImportedMap map;
  ForEachImportedCell(PutImportedCell, &map);
  EndImportedMapFile(&map);
  return map.written;
}

void UpdateCellDatabase() {
  BusyJob job;
  LogLine(LOG_CRLF, "Import Old Data Files\r\n");
  FileNode* list = RecList("\\Quorvale\\*.cdb");
  for (FileNode* f = list; f; f = f->next) {
    DWORD failed = ImportOldFile(f->name);
    std::string path = std::string("\\Quorvale\\") + f->name;
    if (failed) LogPrintf(LOG_CRLF, "Keeping %s: %u records not stored", f->name, failed);
    else RecRemove(path.c_str());
  }
  RecFreeList(list);
  LogLine(LOG_CRLF, "Update missing Google Locations");
  list = RecList("\\Quorvale\\*.dbc");
  for (FileNode* f = list; f; f = f->next) {
    LogPrintf(LOG_CRLF, "Scanning: %s", f->name);
    std::string path = std::string("\\Quorvale\\") + f->name;
    int index = RecOpen(path.c_str(), kRecordModeReadWrite);
    if (index < 0) continue;
    DWORD mcc = static_cast<DWORD>(strtoul(f->name, nullptr, 10));
    DWORD n = RecCount(index, sizeof(CellRecord));
    for (DWORD i = 0; i < n; ++i) {
      CellRecord r;
      if (RecRead(index, &r, sizeof r, i) != 0 || CellHasPosition(r)) continue;
      r.Slot = static_cast<WORD>(i < kRecordMissing ? i : kRecordFailed);
      LogCell(&r, "Update From Google");
      // Stored by its key, not at i: during the lookup the file may have changed.
      if (LookUpAndFind(mcc, &r)) StoreCell(&r);
    }
    RecClose(index);
  }
  RecFreeList(list);
  LogLine(LOG_CRLF, "Done Update DB\r\n");
}
