// The registry on SQLite. Keys and values keep their spelling and are found without regard to
// case (through a lower-cased copy of the name). One connection per process, used under one
// lock; WAL and a busy timeout let several processes read and write at once.
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <vector>
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/wide.h"

namespace {

constexpr int64_t kRootHklm = 1, kRootHkcu = 2, kRootHkcr = 3;
constexpr size_t kMaxKeyName = 255;

std::recursive_mutex g_lock;
sqlite3* g_db = nullptr;
std::string g_error;
std::map<uintptr_t, int64_t> g_keys;  // open key handles to key ids
uintptr_t g_nextKey = 0x2000;

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " lname TEXT NOT NULL, UNIQUE(parent, lname));"
    "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL, lname TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB, PRIMARY KEY(key, lname));"
    "INSERT OR IGNORE INTO keys(id, parent, name, lname) VALUES"
    " (1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'), (2, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
    " (3, 0, 'HKEY_CLASSES_ROOT', 'hkey_classes_root');";

LONG DbError(int rc) {
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
    if (g_error.empty()) g_error = std::string("registry database is damaged: ") + sqlite3_errstr(rc);
    return ERROR_BADDB;
  }
  if (rc == SQLITE_FULL) return ERROR_DISK_FULL;
  if (rc == SQLITE_NOMEM) return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_GEN_FAILURE;
}


LONG Open() {
  if (g_db) return ERROR_SUCCESS;
  const std::string root = PlatformRoot();
  const std::string path = root + "/registry.db";
  g_error.clear();
  if (!PlatformMakePrivateDirs(root)) {
    g_error = "cannot create the data root " + root;
    return ERROR_ACCESS_DENIED;
  }
  // SQLite makes the database (and its journal files, which follow its mode) 0644 & ~umask: a
  // new one is made private first.
  PlatformCreatePrivateFile(path);
  int rc = sqlite3_open_v2(path.c_str(), &g_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_busy_timeout(g_db, 15000);
    if (rc == SQLITE_OK) rc = sqlite3_exec(g_db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-256;", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(g_db, kSchema, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    g_error = "cannot open the registry " + path + ": " + (g_db ? sqlite3_errmsg(g_db) : sqlite3_errstr(rc));
    LONG err = (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) ? ERROR_BADDB : ERROR_ACCESS_DENIED;
    sqlite3_close(g_db);
    g_db = nullptr;
    return err;
  }
  return ERROR_SUCCESS;
}

// Statements prepared once for the connection's life, by their text: the registry runs the same
// few over and over (every fix stores the last known position).
struct CachedStmt {
  sqlite3_stmt* s;
  bool busy;  // in use by a Stmt: a nested use of the same text prepares one of its own
};
std::map<std::string, CachedStmt> g_statements;

void FinalizeStatements() {
  for (auto& [text, cached] : g_statements) sqlite3_finalize(cached.s);
  g_statements.clear();
}

// A prepared statement, from the cache when it is free there; reset (or finalized) at the end.
struct Stmt {
  sqlite3_stmt* s = nullptr;
  int rc = SQLITE_OK;
  CachedStmt* cached = nullptr;
  explicit Stmt(const char* sql) {
    auto it = g_statements.find(sql);
    if (it != g_statements.end() && !it->second.busy) {
      s = it->second.s;
      cached = &it->second;
      cached->busy = true;
      return;
    }
    rc = sqlite3_prepare_v3(g_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc == SQLITE_OK && it == g_statements.end()) {
      cached = &g_statements.emplace(sql, CachedStmt{s, true}).first->second;
    }
  }
  ~Stmt() {
    if (!cached) {
      sqlite3_finalize(s);
      return;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    cached->busy = false;
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindBlob(int i, const void* p, int n) {
    sqlite3_bind_blob(s, i, n ? p : "", n, SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return rc == SQLITE_OK ? sqlite3_step(s) : rc; }
};

int g_batchDepth = 0;  // PlatformRegistryBeginBatch calls not yet ended, under g_lock

// A transaction statement from the cache: a batch per fix parsed "BEGIN IMMEDIATE" and "COMMIT"
// anew each time, a sixth of what storing the last position cost.
int Exec(const char* sql) {
  Stmt q(sql);
  int rc = q.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// BEGIN IMMEDIATE ... COMMIT, rolled back when not committed; inside a batch, a savepoint of it.
struct Transaction {
  int rc;
  bool done = false;
  bool nested = g_batchDepth > 0 && !sqlite3_get_autocommit(g_db);
  Transaction() { rc = Exec(nested ? "SAVEPOINT call" : "BEGIN IMMEDIATE"); }
  int Commit() {
    done = true;
    return Exec(nested ? "RELEASE call" : "COMMIT");
  }
  ~Transaction() {
    if (!done && rc == SQLITE_OK) {
      if (nested && Exec("ROLLBACK TO call") == SQLITE_OK) Exec("RELEASE call");
      else if (!nested) Exec("ROLLBACK");
    }
  }
};

std::string Lower(const std::u16string& s) {
  std::u16string l;
  for (char16_t c : s) l.push_back(WideLower(c));
  return WideToUtf8(l.c_str(), l.size());
}

// Key id behind a handle (predefined roots included), or 0.
int64_t KeyId(HKEY key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  if (key == HKEY_LOCAL_MACHINE) return kRootHklm;
  if (key == HKEY_CURRENT_USER) return kRootHkcu;
  if (key == HKEY_CLASSES_ROOT) return kRootHkcr;
  auto it = g_keys.find(v);
  return it == g_keys.end() ? 0 : it->second;
}

HKEY NewHandle(int64_t id) {
  uintptr_t h = g_nextKey;
  g_nextKey += 4;
  g_keys[h] = id;
  return reinterpret_cast<HKEY>(h);
}

bool KeyExists(int64_t id) {
  Stmt q("SELECT 1 FROM keys WHERE id=?");
  q.Bind(1, id);
  return q.Step() == SQLITE_ROW;
}

std::vector<std::u16string> SplitPath(LPCWSTR path) {
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (const WCHAR* p = path; p && *p; ++p) {
    if (*p == u'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

// Walks (and with `create`, makes) the path below `id`.
LONG Resolve(int64_t id, LPCWSTR path, bool create, int64_t& out, bool& created) {
  created = false;
  for (const auto& part : SplitPath(path)) {
    if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    Stmt q("SELECT id FROM keys WHERE parent=? AND lname=?");
    q.Bind(1, id).Bind(2, Lower(part));
    int rc = q.Step();
    if (rc == SQLITE_ROW) {
      id = sqlite3_column_int64(q.s, 0);
      continue;
    }
    if (rc != SQLITE_DONE) return DbError(rc);
    if (!create) return ERROR_FILE_NOT_FOUND;
    Stmt ins("INSERT INTO keys(parent, name, lname) VALUES(?,?,?)");
    ins.Bind(1, id).Bind(2, WideToUtf8(part.c_str(), part.size())).Bind(3, Lower(part));
    rc = ins.Step();
    if (rc != SQLITE_DONE) return DbError(rc);
    id = sqlite3_last_insert_rowid(g_db);
    created = true;
  }
  out = id;
  return ERROR_SUCCESS;
}

// Copies a UTF-8 name into a caller's buffer of *units (terminator included).
LONG CopyName(const unsigned char* text, LPWSTR name, LPDWORD units) {
  std::u16string w = Utf8ToWide(reinterpret_cast<const char*>(text));
  if (!name || !units) return ERROR_INVALID_PARAMETER;
  if (*units < w.size() + 1) {
    *units = static_cast<DWORD>(w.size() + 1);
    return ERROR_MORE_DATA;
  }
  WideCopy(name, *units, w.c_str());
  *units = static_cast<DWORD>(w.size());
  return ERROR_SUCCESS;
}

// Copies value data into the caller's buffer following the query rules.
LONG CopyData(const void* blob, DWORD len, LPBYTE data, LPDWORD size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  if (!size) return ERROR_SUCCESS;
  if (data && *size < len) {
    *size = len;
    return ERROR_MORE_DATA;
  }
  if (data && len) memcpy(data, blob, len);
  *size = len;
  return ERROR_SUCCESS;
}

}  // namespace

#define REGISTRY_ENTER                          \
  std::lock_guard<std::recursive_mutex> guard(g_lock); \
  if (LONG openErr = Open(); openErr != ERROR_SUCCESS) return openErr

LONG RegOpenKeyExW(HKEY parent, LPCWSTR subKey, DWORD, REGSAM, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  REGISTRY_ENTER;
  int64_t id = KeyId(parent), found = 0;
  if (!id) return ERROR_INVALID_HANDLE;
  bool created;
  LONG err = Resolve(id, subKey, false, found, created);
  if (err != ERROR_SUCCESS) return err;
  if (!KeyExists(found)) return ERROR_KEY_DELETED;
  *result = NewHandle(found);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY parent, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, HKEY* result,
                     LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  REGISTRY_ENTER;
  int64_t id = KeyId(parent), found = 0;
  if (!id) return ERROR_INVALID_HANDLE;
  Transaction tx;
  if (tx.rc != SQLITE_OK) return DbError(tx.rc);
  if (!KeyExists(id)) return ERROR_KEY_DELETED;
  bool created;
  LONG err = Resolve(id, subKey, true, found, created);
  if (err != ERROR_SUCCESS) return err;
  if (int rc = tx.Commit(); rc != SQLITE_OK) return DbError(rc);
  *result = NewHandle(found);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  REGISTRY_ENTER;
  int64_t id = KeyId(key);
  if (!id) return ERROR_INVALID_HANDLE;
  Stmt q("SELECT type, data FROM vals WHERE key=? AND lname=?");
  q.Bind(1, id).Bind(2, Lower(name ? std::u16string(name) : std::u16string()));
  int rc = q.Step();
  if (rc == SQLITE_DONE) return KeyExists(id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return DbError(rc);
  if (type) *type = static_cast<DWORD>(sqlite3_column_int64(q.s, 0));
  const void* blob = sqlite3_column_blob(q.s, 1);
  DWORD len = static_cast<DWORD>(sqlite3_column_bytes(q.s, 1));
  return CopyData(blob, len, data, size);
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (!data && size) return ERROR_INVALID_PARAMETER;
  REGISTRY_ENTER;
  int64_t id = KeyId(key);
  if (!id) return ERROR_INVALID_HANDLE;
  std::u16string n = name ? std::u16string(name) : std::u16string();
  if (n.size() > 16383) return ERROR_INVALID_PARAMETER;
  // Inserted only while the key still exists, so a key deleted by another process gets no orphans.
  Stmt q("INSERT INTO vals(key, name, lname, type, data) SELECT ?1, ?2, ?3, ?4, ?5"
         " WHERE EXISTS(SELECT 1 FROM keys WHERE id=?1)"
         " ON CONFLICT(key, lname) DO UPDATE SET name=excluded.name, type=excluded.type, data=excluded.data");
  q.Bind(1, id).Bind(2, WideToUtf8(n.c_str(), n.size())).Bind(3, Lower(n)).Bind(4, type);
  q.BindBlob(5, data, static_cast<int>(size));
  int rc = q.Step();
  if (rc != SQLITE_DONE) return DbError(rc);
  return sqlite3_changes(g_db) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG RegDeleteValueW(HKEY key, LPCWSTR name) {
  REGISTRY_ENTER;
  int64_t id = KeyId(key);
  if (!id) return ERROR_INVALID_HANDLE;
  Stmt q("DELETE FROM vals WHERE key=? AND lname=?");
  q.Bind(1, id).Bind(2, Lower(name ? std::u16string(name) : std::u16string()));
  int rc = q.Step();
  if (rc != SQLITE_DONE) return DbError(rc);
  return sqlite3_changes(g_db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// Deletes the key with all its subkeys and values.
LONG RegDeleteKeyW(HKEY parent, LPCWSTR subKey) {
  if (!subKey || !*subKey) return ERROR_INVALID_PARAMETER;
  REGISTRY_ENTER;
  int64_t id = KeyId(parent), found = 0;
  if (!id) return ERROR_INVALID_HANDLE;
  Transaction tx;
  if (tx.rc != SQLITE_OK) return DbError(tx.rc);
  bool created;
  LONG err = Resolve(id, subKey, false, found, created);
  if (err != ERROR_SUCCESS) return err;
  if (found <= kRootHkcr) return ERROR_ACCESS_DENIED;
  const char* tree = "WITH RECURSIVE t(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN t ON k.parent=t.id) ";
  Stmt dv((std::string(tree) + "DELETE FROM vals WHERE key IN (SELECT id FROM t)").c_str());
  dv.Bind(1, found);
  if (int rc = dv.Step(); rc != SQLITE_DONE) return DbError(rc);
  Stmt dk((std::string(tree) + "DELETE FROM keys WHERE id IN (SELECT id FROM t)").c_str());
  dk.Bind(1, found);
  if (int rc = dk.Step(); rc != SQLITE_DONE) return DbError(rc);
  if (int rc = tx.Commit(); rc != SQLITE_OK) return DbError(rc);
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD, LPWSTR keyClass,
                   LPDWORD classUnits, FILETIME* lastWrite) {
  REGISTRY_ENTER;
  int64_t id = KeyId(key);
  if (!id) return ERROR_INVALID_HANDLE;
  Stmt q("SELECT name FROM keys WHERE parent=? ORDER BY id LIMIT 1 OFFSET ?");
  q.Bind(1, id).Bind(2, index);
  int rc = q.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return DbError(rc);
  if (keyClass && classUnits && *classUnits) keyClass[0] = 0;
  if (classUnits) *classUnits = 0;
  if (lastWrite) *lastWrite = FILETIME{0, 0};
  return CopyName(sqlite3_column_text(q.s, 0), name, nameUnits);
}

LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD, LPDWORD type, LPBYTE data,
                   LPDWORD size) {
  REGISTRY_ENTER;
  int64_t id = KeyId(key);
  if (!id) return ERROR_INVALID_HANDLE;
  Stmt q("SELECT name, type, data FROM vals WHERE key=? ORDER BY rowid LIMIT 1 OFFSET ?");
  q.Bind(1, id).Bind(2, index);
  int rc = q.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return DbError(rc);
  LONG err = CopyName(sqlite3_column_text(q.s, 0), name, nameUnits);
  if (err != ERROR_SUCCESS) return err;
  if (type) *type = static_cast<DWORD>(sqlite3_column_int64(q.s, 1));
  const void* blob = sqlite3_column_blob(q.s, 2);
  return CopyData(blob, static_cast<DWORD>(sqlite3_column_bytes(q.s, 2)), data, size);
}

LONG RegCloseKey(HKEY key) {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  return g_keys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void PlatformRegistryBeginBatch() {
  g_lock.lock();
  // Without a database (or the write lock) the calls of the batch go one by one, as they would.
  if (g_batchDepth++ == 0 && Open() == ERROR_SUCCESS) Exec("BEGIN IMMEDIATE");
}

BOOL PlatformRegistryEndBatch() {
  BOOL committed = TRUE;
  if (g_batchDepth > 0 && --g_batchDepth == 0 && g_db && !sqlite3_get_autocommit(g_db)) {
    committed = Exec("COMMIT") == SQLITE_OK;
    if (!committed) Exec("ROLLBACK");
  }
  g_lock.unlock();
  return committed;
}

void PlatformRegistryClose() {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  FinalizeStatements();
  if (g_db) sqlite3_close(g_db);
  g_db = nullptr;
  g_keys.clear();
}

const char* PlatformRegistryError() {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  return g_error.c_str();
}

int PlatformOpenKeyCount() {
  std::lock_guard<std::recursive_mutex> guard(g_lock);
  return static_cast<int>(g_keys.size());
}
