// The imported cells' store on SQLite. One table without row ids, keyed by (network and area,
// cell and radio): a row costs its two keys and five small integers. Writes take a rollback
// journal, so a killed import leaves the last committed state; readers see that state.
#include "cell_service/imported_cells.h"
#include <sqlite3.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include "platform/platform.h"
#include "platform/ril.h"
#include "support/log.h"

namespace {

std::mutex g_lock;
sqlite3* g_db = nullptr;
bool g_writing = false;
sqlite3_stmt* g_find = nullptr;
sqlite3_stmt* g_upsert = nullptr;
std::string g_path;
std::string g_root;  // the data root the open store belongs to

const char* const kRadioNames[kCellRadios] = {"GSM", "UMTS", "LTE", "NR", "CDMA"};

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS cells(network_area INTEGER NOT NULL, cell_radio INTEGER NOT NULL,"
    " lat INTEGER NOT NULL, lon INTEGER NOT NULL, range INTEGER NOT NULL, samples INTEGER NOT NULL,"
    " updated INTEGER NOT NULL, PRIMARY KEY(network_area, cell_radio)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS imports(finished INTEGER, file TEXT, rows INTEGER, stored INTEGER,"
    " refused INTEGER, complete INTEGER);";
const char kFind[] =
    "SELECT network_area, cell_radio, lat, lon, range, samples, updated FROM cells"
    " WHERE network_area = ?1 AND cell_radio BETWEEN ?2 AND ?3";
const char kUpsert[] =
    "INSERT INTO cells VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT(network_area, cell_radio) DO UPDATE SET"
    " lat = excluded.lat, lon = excluded.lon, range = excluded.range, samples = excluded.samples,"
    " updated = excluded.updated WHERE excluded.updated > cells.updated";

void Say(char* error, size_t size, const char* what) {
  snprintf(error, size, "%s: %s", what, g_db ? sqlite3_errmsg(g_db) : "no store");
}

void CloseLocked() {
  sqlite3_finalize(g_find);
  sqlite3_finalize(g_upsert);
  g_find = g_upsert = nullptr;
  if (g_db) sqlite3_close(g_db);
  g_db = nullptr;
}

ImportedCell RowOf(sqlite3_stmt* s) {
  ImportedCell c;
  c.NetworkArea = sqlite3_column_int64(s, 0);
  c.CellRadio = sqlite3_column_int64(s, 1);
  c.LatitudeE7 = sqlite3_column_int(s, 2);
  c.LongitudeE7 = sqlite3_column_int(s, 3);
  c.Range = sqlite3_column_int(s, 4);
  c.Samples = sqlite3_column_int(s, 5);
  c.Updated = sqlite3_column_int64(s, 6);
  return c;
}

}  // namespace

int CellRadioOf(const char* name) {
  for (int i = 0; i < kCellRadios; ++i)
    if (strcmp(name, kRadioNames[i]) == 0) return i;
  return -1;
}

const char* CellRadioName(int radio) { return radio >= 0 && radio < kCellRadios ? kRadioNames[radio] : "?"; }

void ImportedToRecord(const ImportedCell& c, CellRecord* r) {
  *r = CellRecord{};
  r->Mnc = static_cast<LONG>(ImportedMnc(c));
  uint32_t area = static_cast<uint32_t>(c.NetworkArea & kImportedAreaLimit);
  uint64_t cell = static_cast<uint64_t>(c.CellRadio) >> 3;
  if (ImportedRadio(c) == CELL_RADIO_NR) {
    DWORD packedArea, packedCell;
    PackNrCell(area, cell, &packedArea, &packedCell);
    r->Lac = static_cast<LONG>(packedArea);
    r->Cid = static_cast<LONG>(packedCell);
  } else {
    r->Lac = static_cast<LONG>(area);
    r->Cid = static_cast<LONG>(cell);
  }
  r->Latitude = c.LatitudeE7 / 1e7;
  r->Longitude = c.LongitudeE7 / 1e7;
  r->Updated = U64ToFileTime(c.Updated > 0 ? static_cast<ULONGLONG>(c.Updated) * kFileTimePerSecond + kFileTimeUnixEpoch : 0);
}

const char* ImportedCellsPath() {
  static std::string path;
  if (PlatformTranslatePath("\\Quorvale\\cells.sqlite", path) != ERROR_SUCCESS) path.clear();
  return path.c_str();
}

int OpenImportedCells(bool forWriting, char* error, size_t errorSize) {
  std::lock_guard<std::mutex> guard(g_lock);
  // An open store answers each lookup without looking for its file again.
  if (g_db && g_writing == forWriting && PlatformRoot() == g_root) return 0;
  std::string path = ImportedCellsPath();
  CloseLocked();
  struct stat st;
  if (!forWriting && stat(path.c_str(), &st) != 0) {
    snprintf(error, errorSize, "no imported cells at %s", path.c_str());
    return 1;
  }
  if (forWriting) {
    PlatformMakePrivateDirs(path.substr(0, path.rfind('/')));
    PlatformCreatePrivateFile(path);  // the journal takes the store's mode
  }
  // A reader opens for writing too where it may: an import killed mid-way leaves a journal that
  // the next opener rolls back. A store the user made read-only is read as it is.
  int flags = forWriting ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE;
  int rc = sqlite3_open_v2(path.c_str(), &g_db, flags, nullptr);
  if (rc != SQLITE_OK && !forWriting) {
    CloseLocked();
    rc = sqlite3_open_v2(path.c_str(), &g_db, SQLITE_OPEN_READONLY, nullptr);
  }
  if (rc != SQLITE_OK) {
    Say(error, errorSize, ("cannot open " + path).c_str());
    CloseLocked();
    return 1;
  }
  // A lookup while an import commits waits a little, then answers without the store.
  sqlite3_busy_timeout(g_db, forWriting ? 5000 : 100);
  const char* setup = forWriting ? "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -32768;" : "PRAGMA cache_size = -4096;";
  if ((forWriting && sqlite3_exec(g_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) ||
      sqlite3_exec(g_db, setup, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(g_db, kFind, -1, &g_find, nullptr) != SQLITE_OK ||
      (forWriting && sqlite3_prepare_v2(g_db, kUpsert, -1, &g_upsert, nullptr) != SQLITE_OK)) {
    Say(error, errorSize, ("cannot use " + path).c_str());
    CloseLocked();
    return 1;
  }
  g_writing = forWriting;
  g_path = path;
  g_root = PlatformRoot();
  return 0;
}

void CloseImportedCells() {
  std::lock_guard<std::mutex> guard(g_lock);
  CloseLocked();
}

int FindImportedCell(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, ImportedCell* out) {
  uint32_t area = lac;
  uint64_t cell = cid;
  bool nr = (lac & kNrAreaMark) != 0;
  if (nr) {
    area = lac & kImportedAreaLimit;
    cell = static_cast<uint64_t>((lac >> 24) & 0xF) << 32 | cid;
  }
  if (mcc == 0 || mcc > 999 || mnc > 999 || area > kImportedAreaLimit) return 0;
  char error[256];
  if (OpenImportedCells(false, error, sizeof error) != 0) return 0;
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_find) return 0;
  sqlite3_bind_int64(g_find, 1, ImportedNetworkArea(mcc, mnc, area));
  sqlite3_bind_int64(g_find, 2, ImportedCellRadio(cell, nr ? CELL_RADIO_NR : 0));
  sqlite3_bind_int64(g_find, 3, ImportedCellRadio(cell, nr ? CELL_RADIO_NR : 7));
  int found = 0, rc;
  while ((rc = sqlite3_step(g_find)) == SQLITE_ROW) {
    ImportedCell c = RowOf(g_find);
    if ((ImportedRadio(c) == CELL_RADIO_NR) != nr) continue;
    if (!found || c.Updated > out->Updated) *out = c;
    found = 1;
  }
  if (rc != SQLITE_DONE) LogPrintf(LOG_CRLF, "Imported cells: lookup failed (%s)", sqlite3_errmsg(g_db));
  sqlite3_reset(g_find);
  return found;
}

int StoreImportedCells(const ImportedCell* rows, size_t n, char* error, size_t errorSize) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_db || !g_upsert) {
    snprintf(error, errorSize, "the imported cells are not open for writing");
    return 1;
  }
  if (sqlite3_exec(g_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Say(error, errorSize, "cannot begin a transaction");
    return 1;
  }
  for (size_t i = 0; i < n; ++i) {
    const ImportedCell& c = rows[i];
    sqlite3_bind_int64(g_upsert, 1, c.NetworkArea);
    sqlite3_bind_int64(g_upsert, 2, c.CellRadio);
    sqlite3_bind_int(g_upsert, 3, c.LatitudeE7);
    sqlite3_bind_int(g_upsert, 4, c.LongitudeE7);
    sqlite3_bind_int(g_upsert, 5, c.Range);
    sqlite3_bind_int(g_upsert, 6, c.Samples);
    sqlite3_bind_int64(g_upsert, 7, c.Updated);
    int rc = sqlite3_step(g_upsert);
    sqlite3_reset(g_upsert);
    if (rc != SQLITE_DONE) {
      Say(error, errorSize, "cannot store a cell");
      sqlite3_exec(g_db, "ROLLBACK", nullptr, nullptr, nullptr);
      return 1;
    }
  }
  if (sqlite3_exec(g_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Say(error, errorSize, "cannot commit the cells");
    sqlite3_exec(g_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return 1;
  }
  return 0;
}

void NoteImport(const char* file, uint64_t rows, uint64_t stored, uint64_t refused, bool complete) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_db || !g_writing) return;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(g_db, "INSERT INTO imports VALUES(?1, ?2, ?3, ?4, ?5, ?6)", -1, &s, nullptr) == SQLITE_OK) {
    sqlite3_bind_int64(s, 1, static_cast<int64_t>(time(nullptr)));
    sqlite3_bind_text(s, 2, file, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 3, static_cast<int64_t>(rows));
    sqlite3_bind_int64(s, 4, static_cast<int64_t>(stored));
    sqlite3_bind_int64(s, 5, static_cast<int64_t>(refused));
    sqlite3_bind_int(s, 6, complete ? 1 : 0);
    sqlite3_step(s);
  }
  sqlite3_finalize(s);
}

int ForEachImportedCell(bool (*each)(const ImportedCell& c, void* context), void* context) {
  char error[256];
  if (OpenImportedCells(false, error, sizeof error) != 0) return -1;
  std::lock_guard<std::mutex> guard(g_lock);
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(g_db, "SELECT * FROM cells ORDER BY network_area, cell_radio", -1, &s, nullptr) != SQLITE_OK)
    return -1;
  int result = 1, rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW)
    if (!each(RowOf(s), context)) {
      result = 0;
      break;
    }
  if (result == 1 && rc != SQLITE_DONE) result = -1;
  sqlite3_finalize(s);
  return result;
}

int PrintImportedStats(void (*line)(const char* text, void* context), void* context) {
  char text[512];
  if (OpenImportedCells(false, text, sizeof text) != 0) {
    line(text, context);
    return 1;
  }
  std::lock_guard<std::mutex> guard(g_lock);
  struct stat st{};
  stat(g_path.c_str(), &st);
  sqlite3_stmt* s = nullptr;
  uint64_t total = 0;
  if (sqlite3_prepare_v2(g_db,
                         "SELECT (network_area >> 24) / 1000, cell_radio & 7, count(*) FROM cells GROUP BY 1, 2 ORDER BY 1, 2",
                         -1, &s, nullptr) != SQLITE_OK)
    return 1;
  std::string country;
  int current = -1;
  uint64_t inCountry = 0;
  auto flush = [&] {
    if (current < 0) return;
    snprintf(text, sizeof text, " (%llu cells)", static_cast<unsigned long long>(inCountry));
    line((country + text).c_str(), context);
  };
  while (sqlite3_step(s) == SQLITE_ROW) {
    int mcc = sqlite3_column_int(s, 0), radio = sqlite3_column_int(s, 1);
    int64_t count = sqlite3_column_int64(s, 2);
    total += static_cast<uint64_t>(count);
    if (mcc != current) {
      flush();
      current = mcc;
      inCountry = 0;
      snprintf(text, sizeof text, "MCC %d:", mcc);
      country = text;
    }
    inCountry += static_cast<uint64_t>(count);
    snprintf(text, sizeof text, " %s %lld", CellRadioName(radio), static_cast<long long>(count));
    country += text;
  }
  flush();
  sqlite3_finalize(s);
  snprintf(text, sizeof text, "%s: %llu cells, %.1f MB (%.1f bytes per cell)", g_path.c_str(),
           static_cast<unsigned long long>(total), st.st_size / 1e6, total ? static_cast<double>(st.st_size) / total : 0.0);
  line(text, context);
  if (sqlite3_prepare_v2(g_db, "SELECT finished, file, rows, stored, refused, complete FROM imports ORDER BY rowid DESC LIMIT 1",
                         -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW) {
    time_t when = static_cast<time_t>(sqlite3_column_int64(s, 0));
    struct tm t;
    gmtime_r(&when, &t);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &t);
    snprintf(text, sizeof text, "last import %s: %s, %lld rows, %lld cells stored, %lld refused%s", stamp,
             reinterpret_cast<const char*>(sqlite3_column_text(s, 1)), static_cast<long long>(sqlite3_column_int64(s, 2)),
             static_cast<long long>(sqlite3_column_int64(s, 3)), static_cast<long long>(sqlite3_column_int64(s, 4)),
             sqlite3_column_int(s, 5) ? "" : " (interrupted: import it again to finish)");
    line(text, context);
  } else {
    line("no import recorded", context);
  }
  sqlite3_finalize(s);
  return 0;
}
