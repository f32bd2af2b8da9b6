// The record-file engine: 30 open files, transfers, sorted search and insertion, listing.
#include "cell_service/record_file.h"
#include <cstdlib>
#include <cstring>
#include <mutex>
#include "support/log.h"

namespace {

struct RecordSlot {
  bool used;
  char name[kRecordPathChars + 1];
  HANDLE handle;
  DWORD access;
  DWORD share;
  bool written;
  bool created;  // this open made the file: an empty one is removed again at the close
  DWORD transferred;
  DWORD lastError;
};

RecordSlot g_slots[kRecordFiles];
std::mutex g_slotLock;  // taking and releasing slots; the callers serialise use of one file

// Chunk of a move or copy: at most 32000 bytes, whole records.
constexpr DWORD kChunkBytes = 32000;

RecordSlot* Slot(int index) {
  if (index < 0 || index >= kRecordFiles || !g_slots[index].used) return nullptr;
  return &g_slots[index];
}

bool Wide(const char* path, WCHAR* out) {
  if (strlen(path) > kRecordPathChars) return false;
  Utf8ToWide(path, out, MAX_PATH);
  return true;
}

HANDLE OpenHandle(const char* path, DWORD access, DWORD share, DWORD disposition) {
  WCHAR wide[MAX_PATH];
  if (!Wide(path, wide)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide, access, share, nullptr, disposition,
                     FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
}

LONG Seek(RecordSlot* s, DWORD offset) {
  if (SetFilePointer(s->handle, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != ERROR_SUCCESS) {
    s->lastError = GetLastError();
    RecLogError("Seek", s->name, s->lastError);
    return -1;
  }
  return 0;
}

LONG Transfer(RecordSlot* s, bool write, DWORD offset, void* buffer, DWORD count, const char* operation) {
  if (Seek(s, offset) != 0) return -1;
  DWORD done = 0;
  BOOL ok = write ? WriteFile(s->handle, buffer, count, &done, nullptr)
                  : ReadFile(s->handle, buffer, count, &done, nullptr);
  s->transferred = done;
  if (write && done) s->written = true;
  if (ok && done == count) {
    s->lastError = 0;
    return 0;
  }
  s->lastError = ok ? ERROR_GEN_FAILURE : GetLastError();  // a short read or write is a failure
  return RecLogError(operation, s->name, s->lastError);
}

// Copies bytes [from, to) of the slot's file to the end of `out` in chunks.
LONG CopyRange(RecordSlot* s, HANDLE out, DWORD from, DWORD to, char* chunk) {
  while (from < to) {
    DWORD n = to - from < kChunkBytes ? to - from : kChunkBytes;
    if (LONG err = Transfer(s, false, from, chunk, n, "Add Read Block")) return err;
    DWORD done = 0;
    if (!WriteFile(out, chunk, n, &done, nullptr) || done != n)
      return RecLogError("Add Write Block", s->name, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
    from += n;
  }
  return 0;
}

// The temporary file beside `path`.
void TempPath(const char* path, char* out, size_t size) { snprintf(out, size, "%s.tmp", path); }

// Replaces the slot's file with the finished temporary file `tmp` (closed), then reopens it.
LONG Swap(RecordSlot* s, const char* tmp) {
  WCHAR from[MAX_PATH], to[MAX_PATH];
  Wide(tmp, from);
  Wide(s->name, to);
  CloseHandle(s->handle);
  BOOL moved = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  DWORD error = moved ? 0 : GetLastError();
  if (!moved) DeleteFileW(from);
  s->handle = OpenHandle(s->name, s->access, s->share, OPEN_ALWAYS);
  if (s->handle == INVALID_HANDLE_VALUE) {
    s->lastError = GetLastError();
    s->used = false;  // the file is gone from under the slot
    return RecLogError("Open", s->name, s->lastError);
  }
  s->written = true;
  return error ? RecLogError("Add Write New", s->name, error) : 0;
}

// Writes a new version of the slot's file: `fill` writes its content into the temporary file.
template <typename Fill>
LONG Rewrite(RecordSlot* s, Fill fill) {
  char tmp[kRecordPathChars + 8];
  TempPath(s->name, tmp, sizeof tmp);
  HANDLE out = OpenHandle(tmp, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  if (out == INVALID_HANDLE_VALUE) return RecLogError("Open", tmp, GetLastError());
  LONG err = fill(out);
  if (!err && !FlushFileBuffers(out)) err = RecLogError("Commit", tmp, GetLastError());
  CloseHandle(out);
  WCHAR wide[MAX_PATH];
  if (err) {
    Wide(tmp, wide);
    DeleteFileW(wide);
    return err;
  }
  return Swap(s, tmp);
}

}  // namespace

LONG RecLogError(const char* operation, const char* path, DWORD error) {
  if (!error) return 0;
  WCHAR text[256];
  std::string message = "UnKnown";
  if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 256,
                     nullptr))
    message = WideToUtf8(text);
  LogPrintf(LOG_CRLF | LOG_TAB, "%s %s, %s", operation, path, message.c_str());
  return static_cast<LONG>(error);
}

int RecOpen(const char* path, int mode) {
  int index = -1;
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    for (int i = 0; i < kRecordFiles && index < 0; ++i)
      if (!g_slots[i].used) index = i;
    if (index < 0) {
      LogLine(LOG_CRLF, "Error, Exceeded Local Maximum Files Count");
      return -1;
    }
    if (strlen(path) > kRecordPathChars) return -1;
    g_slots[index] = RecordSlot{};
    g_slots[index].used = true;
  }
  RecordSlot* s = &g_slots[index];
  snprintf(s->name, sizeof s->name, "%s", path);
  bool readOnly = mode >= 64 && !(mode & 2);
  s->access = readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  s->share = readOnly ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
  {
    WCHAR wide[MAX_PATH];
    Wide(path, wide);
    s->created = GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES;
  }
  s->handle = OpenHandle(path, s->access, s->share, OPEN_ALWAYS);
  if (s->handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
    s->access = GENERIC_READ | GENERIC_WRITE;
    s->share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    s->handle = OpenHandle(path, s->access, s->share, OPEN_ALWAYS);
  }
  if (s->handle == INVALID_HANDLE_VALUE) {
    RecLogError("Open", path, GetLastError() ? GetLastError() : ERROR_GEN_FAILURE);
    std::lock_guard<std::mutex> lock(g_slotLock);
    s->used = false;
    return -1;
  }
  return index;
}

int RecClose(int index) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  DWORD size = GetFileSize(s->handle, nullptr);
  if (!CloseHandle(s->handle)) {
    s->lastError = GetLastError();
    RecLogError("Close", s->name, s->lastError);
    return -1;
  }
  if (size == 0 && s->created) {
    WCHAR wide[MAX_PATH];
    Wide(s->name, wide);
    DeleteFileW(wide);  // an empty file this open made does not stay; one the user had is left
  }
  std::lock_guard<std::mutex> lock(g_slotLock);
  s->used = false;
  return 0;
}

const char* RecPath(int index) {
  RecordSlot* s = Slot(index);
  return s ? s->name : "";
}

DWORD RecSize(int index) {
  RecordSlot* s = Slot(index);
  if (!s) return 0;
  DWORD size = GetFileSize(s->handle, nullptr);
  return size == INVALID_FILE_SIZE ? 0 : size;
}

DWORD RecCount(int index, DWORD recordSize) { return recordSize ? RecSize(index) / recordSize : 0; }

LONG RecRead(int index, void* record, DWORD recordSize, DWORD number) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  if (Seek(s, number * recordSize) != 0) {
    LogLine(LOG_CRLF, "RandRead Error in Seek");
    return -1;
  }
  return Transfer(s, false, number * recordSize, record, recordSize, "RandRead");
}

LONG RecWrite(int index, const void* record, DWORD recordSize, DWORD number) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  if (Seek(s, number * recordSize) != 0) {
    LogLine(LOG_CRLF, "RandWrite Error in Seek");
    return -1;
  }
  return Transfer(s, true, number * recordSize, const_cast<void*>(record), recordSize, "Randwrite");
}

LONG RecReadBlock(int index, DWORD offset, void* buffer, DWORD count, DWORD* done) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  LONG err = Transfer(s, false, offset, buffer, count, "Readfile");
  if (done) *done = s->transferred;
  return err;
}

DWORD RecSearch(int index, void* key, DWORD recordSize, RecordCompare compare, WORD* outcome) {
  *outcome = kRecordFailed;
  RecordSlot* s = Slot(index);
  if (!s) return 0;
  void* probe = malloc(recordSize);
  if (!probe) {
    LogLine(LOG_CRLF, "Free Memory Exceeded - Press Any Key");
    return 0;
  }
  // Lower bound over [lo, hi): the first record not below the key.
  DWORD lo = 0, hi = RecCount(index, recordSize);
  while (lo < hi) {
    DWORD mid = lo + (hi - lo) / 2;
    if (Transfer(s, false, mid * recordSize, probe, recordSize, "Search Read") != 0) {
      free(probe);
      return 0;
    }
    int c = compare(key, probe);
    if (c == 0) {
      memcpy(key, probe, recordSize);
      free(probe);
      *outcome = 0;
      return mid;
    }
    if (c < 0) hi = mid;
    else lo = mid + 1;
  }
  free(probe);
  *outcome = kRecordMissing;
  return lo;
}

LONG RecAdd(int index, const void* record, DWORD recordSize, RecordCompare compare) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  char* copy = static_cast<char*>(malloc(recordSize));
  if (!copy) return -1;
  memcpy(copy, record, recordSize);
  WORD outcome;
  DWORD at = RecSearch(index, copy, recordSize, compare, &outcome);
  free(copy);
  if (outcome == kRecordFailed) return s->lastError ? static_cast<LONG>(s->lastError) : -1;
  if (outcome == 0) return Transfer(s, true, at * recordSize, const_cast<void*>(record), recordSize, "Add Write New");
  DWORD n = RecCount(index, recordSize);
  if (n >= kRecordFileLimit) {
    LogLine(LOG_CRLF, "Add at File Limit, Record is Lost");
    return -1;
  }
  if (at >= n) return Transfer(s, true, n * recordSize, const_cast<void*>(record), recordSize, "Add Append");
  // Records at and after the insertion position move up by one: written into a new file.
  DWORD chunkBytes = kChunkBytes / recordSize * recordSize;
  char* chunk = chunkBytes ? static_cast<char*>(malloc(chunkBytes)) : nullptr;
  if (!chunk) {
    LogLine(LOG_CRLF, "Free Memory Exceeded - Press Any Key");
    return -1;
  }
  LONG err = Rewrite(s, [&](HANDLE out) -> LONG {
    if (LONG e = CopyRange(s, out, 0, at * recordSize, chunk)) return e;
    DWORD done = 0;
    if (!WriteFile(out, record, recordSize, &done, nullptr) || done != recordSize)
      return RecLogError("Add Write New", s->name, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
    return CopyRange(s, out, at * recordSize, n * recordSize, chunk);
  });
  free(chunk);
  return err;
}

LONG RecTruncate(int index, DWORD offset) {
  RecordSlot* s = Slot(index);
  if (!s || Seek(s, offset) != 0) return -1;
  if (!SetEndOfFile(s->handle)) return -1;
  s->written = false;  // commit: the file is written through
  return 0;
}

LONG RecReplace(int index, const void* records, DWORD count, DWORD recordSize) {
  RecordSlot* s = Slot(index);
  if (!s) return -1;
  return Rewrite(s, [&](HANDLE out) -> LONG {
    DWORD bytes = count * recordSize, done = 0;
    if (bytes && (!WriteFile(out, records, bytes, &done, nullptr) || done != bytes))
      return RecLogError("Writefile", s->name, GetLastError() ? GetLastError() : ERROR_DISK_FULL);
    return 0;
  });
}

int RecRemove(const char* path) {
  WCHAR wide[MAX_PATH];
  if (!Wide(path, wide)) return -1;
  if (GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES || DeleteFileW(wide)) return 0;
  // In use here: emptied instead (its last close deletes it).
  int index = RecOpen(path, kRecordModeReadWrite);
  if (index < 0) return -1;
  LONG err = RecTruncate(index, 0);
  RecClose(index);
  return err ? static_cast<int>(err) : 1;
}

FileNode* RecList(const char* pattern) {
  LogPrintf(LOG_CRLF | LOG_TAB, "Searching For Files - %s", pattern);
  WCHAR wide[MAX_PATH];
  if (!Wide(pattern, wide)) return nullptr;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(wide, &found);
  if (find == INVALID_HANDLE_VALUE) return nullptr;
  FileNode* list = nullptr;
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) continue;
    FileNode* node = static_cast<FileNode*>(calloc(1, sizeof(FileNode)));
    if (!node) {
      LogLine(LOG_CRLF, "Free Memory Exceeded - Press Any Key");
      RecFreeList(list);
      FindClose(find);
      return nullptr;
    }
    std::string name = WideToUtf8(found.cFileName);
    snprintf(node->name, sizeof node->name, "%s", name.c_str());
    for (char* c = node->name; *c; ++c)
      if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    // Sorted by bytes; equal names keep their finding order.
    FileNode** at = &list;
    while (*at && strcmp((*at)->name, node->name) <= 0) at = &(*at)->next;
    node->next = *at;
    *at = node;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return list;
}

void RecFreeList(FileNode* list) {
  while (list) {
    FileNode* next = list->next;
    free(list);
    list = next;
  }
}
