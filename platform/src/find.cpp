// FindFirstFileW / FindNextFileW: a snapshot of the folder's matching entries.
#include <dirent.h>
#include <sys/stat.h>
#include <vector>
#include "handles.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/time.h"
#include "platform/wide.h"

using namespace platform;

namespace {

struct FindObject : KObject {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

FILETIME ToFileTime(const timespec& ts) {
  return U64ToFileTime(static_cast<ULONGLONG>(ts.tv_sec) * 10000000 + static_cast<ULONGLONG>(ts.tv_nsec) / 100 +
                       kFileTimeUnixEpoch);
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string full = WideToUtf8(pattern);
  size_t cut = full.find_last_of("\\/");
  std::string folder = cut == std::string::npos ? "\\" : full.substr(0, cut + 1);
  std::string mask = cut == std::string::npos ? full : full.substr(cut + 1);
  std::string dir;
  DWORD err = PlatformTranslatePath(folder.c_str(), dir);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  DIR* d = opendir(dir.c_str());
  if (!d) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_shared<FindObject>();
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || !PlatformNameMatches(mask.c_str(), name.c_str())) continue;
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) != 0) continue;
    WIN32_FIND_DATAW w{};
    w.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    w.ftCreationTime = ToFileTime(st.st_ctim);
    w.ftLastAccessTime = ToFileTime(st.st_atim);
    w.ftLastWriteTime = ToFileTime(st.st_mtim);
    w.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    w.nFileSizeLow = static_cast<DWORD>(st.st_size);
    Utf8ToWide(name.c_str(), w.cFileName, MAX_PATH);
    find->entries.push_back(w);
  }
  closedir(d);
  if (find->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = find->entries[0];
  find->next = 1;
  return AddHandle(find);
}

BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data) {
  auto find = FindHandleAs<FindObject>(h);
  if (!find || !data) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (find->next >= find->entries.size()) return KObject::Fail(ERROR_NO_MORE_FILES);
  *data = find->entries[find->next++];
  return TRUE;
}

BOOL FindClose(HANDLE h) {
  if (!FindHandleAs<FindObject>(h)) return KObject::Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(h);
}
