// Files and folders: CreateFileW and its relatives on POSIX descriptors, and C streams on
// platform paths.
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include "handles.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/wide.h"

using namespace platform;

namespace {

DWORD ErrnoToError(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

// ENOENT on a path whose folder is missing is "path not found", as on the platform.
DWORD MissingError(const std::string& path) {
  size_t slash = path.rfind('/');
  struct stat st;
  if (slash != std::string::npos && stat(path.substr(0, slash).c_str(), &st) != 0) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

BOOL FailErrno(const std::string& path) {
  int e = errno;
  SetLastError(e == ENOENT ? MissingError(path) : ErrnoToError(e));
  return FALSE;
}

bool Translate(LPCWSTR path, std::string& out) {
  DWORD err = PlatformTranslatePathW(path, out);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return false;
  }
  return true;
}

// Files open in this process, by device and inode: such a file can't be deleted or replaced, as
// on the platform (unlinking it would lose its data when it is closed).
std::mutex g_openLock;
std::map<std::pair<dev_t, ino_t>, int> g_open;

bool IsOpen(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> lock(g_openLock);
  return g_open.count({st.st_dev, st.st_ino}) != 0;
}

struct FileObject : KObject {
  int fd = -1;
  std::pair<dev_t, ino_t> id{};
  void Track() {
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    id = {st.st_dev, st.st_ino};
    std::lock_guard<std::mutex> lock(g_openLock);
    ++g_open[id];
  }
  ~FileObject() override {
    if (fd < 0) return;
    close(fd);
    std::lock_guard<std::mutex> lock(g_openLock);
    auto it = g_open.find(id);
    if (it != g_open.end() && --it->second == 0) g_open.erase(it);
  }
  BOOL Read(void* buf, DWORD n, DWORD* read) override {
    *read = 0;
    while (*read < n) {
      ssize_t r = ::read(fd, static_cast<char*>(buf) + *read, n - *read);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Fail(ErrnoToError(errno));
      if (r == 0) break;
      *read += static_cast<DWORD>(r);
    }
    return TRUE;
  }
  BOOL Write(const void* buf, DWORD n, DWORD* written) override {
    *written = 0;
    while (*written < n) {
      ssize_t r = ::write(fd, static_cast<const char*>(buf) + *written, n - *written);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Fail(ErrnoToError(errno));
      *written += static_cast<DWORD>(r);
    }
    return TRUE;
  }
};

}  // namespace

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  std::string p;
  if (!Translate(path, p)) return FALSE;
  if (mkdir(p.c_str(), 0700) != 0) return FailErrno(p);  // the data root holds the user's positions: private
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  std::string p;
  if (!Translate(path, p)) return FALSE;
  if (rmdir(p.c_str()) != 0) return FailErrno(p);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  std::string p;
  if (!Translate(path, p)) return FALSE;
  struct stat st;
  if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return KObject::Fail(ERROR_ACCESS_DENIED);
  if (IsOpen(p)) return KObject::Fail(ERROR_SHARING_VIOLATION);
  if (unlink(p.c_str()) != 0) return FailErrno(p);
  return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (!(flags & MOVEFILE_REPLACE_EXISTING)) return MoveFileW(from, to);
  std::string a, b;
  if (!Translate(from, a) || !Translate(to, b)) return FALSE;
  struct stat st;
  if (lstat(a.c_str(), &st) != 0) return FailErrno(a);
  if (S_ISDIR(st.st_mode)) return KObject::Fail(ERROR_ACCESS_DENIED);
  if (IsOpen(a) || IsOpen(b)) return KObject::Fail(ERROR_SHARING_VIOLATION);
  if (rename(a.c_str(), b.c_str()) != 0) return FailErrno(b);
  if (flags & MOVEFILE_WRITE_THROUGH) {
    std::string folder = b.substr(0, b.rfind('/') + 1);
    // The rename is on disk only once its folder is.
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return FailErrno(b);
    bool synced = fsync(dir) == 0;
    int error = errno;
    close(dir);
    if (!synced) {
      errno = error;
      return FailErrno(b);
    }
  }
  return TRUE;
}

// Fails when the target exists, as on the platform.
BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
  std::string a, b;
  if (!Translate(from, a) || !Translate(to, b)) return FALSE;
  struct stat st;
  if (lstat(a.c_str(), &st) != 0) return FailErrno(a);
  if (lstat(b.c_str(), &st) == 0) return KObject::Fail(ERROR_ALREADY_EXISTS);
  if (rename(a.c_str(), b.c_str()) != 0) return FailErrno(b);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  std::string p;
  if (!Translate(path, p)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(p.c_str(), &st) != 0) {
    FailErrno(p);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

HANDLE PlatformOpenDevice(LPCWSTR name, DWORD access, DWORD share, bool* isDevice);

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  bool isDevice = false;
  HANDLE device = PlatformOpenDevice(name, access, share, &isDevice);
  if (isDevice) return device;
  std::string p;
  if (!Translate(name, p)) return INVALID_HANDLE_VALUE;
  int flags = O_CLOEXEC;
  bool rd = access & GENERIC_READ, wr = access & GENERIC_WRITE;
  flags |= rd && wr ? O_RDWR : (wr ? O_WRONLY : O_RDONLY);
  struct stat st;
  bool existed = stat(p.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  switch (disposition) {
    case CREATE_NEW:
      if (existed) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_TRUNC) && !wr) flags = (flags & ~O_ACCMODE) | O_RDWR;
  int fd = open(p.c_str(), flags, 0600);  // private whatever the umask
  if (fd < 0) {
    FailErrno(p);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->Track();
  HANDLE h = AddHandle(file);
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                      : ERROR_SUCCESS);
  return h;
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID) {
  DWORD dummy;
  if (!read) read = &dummy;
  *read = 0;
  auto object = FindHandle(h);
  if (!object) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (!buffer && toRead) return KObject::Fail(ERROR_INVALID_PARAMETER);
  return object->Read(buffer, toRead, read);
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, LPDWORD written, LPVOID) {
  DWORD dummy;
  if (!written) written = &dummy;
  *written = 0;
  auto object = FindHandle(h);
  if (!object) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (!buffer && toWrite) return KObject::Fail(ERROR_INVALID_PARAMETER);
  return object->Write(buffer, toWrite, written);
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  auto file = FindHandleAs<FileObject>(h);
  if (!file || method > FILE_END) {
    SetLastError(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t offset = distanceHigh ? (static_cast<int64_t>(*distanceHigh) << 32) | static_cast<uint32_t>(distance)
                                : static_cast<int64_t>(distance);
  static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t pos = lseek(file->fd, offset, whence[method]);
  if (pos < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(pos);
}

BOOL SetEndOfFile(HANDLE h) {
  auto file = FindHandleAs<FileObject>(h);
  if (!file) return KObject::Fail(ERROR_INVALID_HANDLE);
  off_t pos = lseek(file->fd, 0, SEEK_CUR);
  if (pos < 0 || ftruncate(file->fd, pos) != 0) return KObject::Fail(ErrnoToError(errno));
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE h) {
  auto file = FindHandleAs<FileObject>(h);
  if (!file) return KObject::Fail(ERROR_INVALID_HANDLE);
  if (fsync(file->fd) != 0) return KObject::Fail(ErrnoToError(errno));
  return TRUE;
}

DWORD GetFileSize(HANDLE h, LPDWORD sizeHigh) {
  auto file = FindHandleAs<FileObject>(h);
  struct stat st;
  if (!file || fstat(file->fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(st.st_size);
}

bool PlatformMakePrivateDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (mkdir(path.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

void PlatformCreatePrivateFile(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

bool PlatformReadLinuxFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return n == 0;
    }
    text->append(chunk, static_cast<size_t>(n));
  }
}

FILE* PlatformFopen(const char* path, const char* mode) {
  std::string p;
  DWORD err = PlatformTranslatePath(path, p);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    errno = EACCES;
    return nullptr;
  }
  if (strpbrk(mode, "wa")) PlatformCreatePrivateFile(p);  // fopen would make it 0666 & ~umask
  FILE* f = fopen(p.c_str(), mode);
  if (!f) FailErrno(p);
  return f;
}

FILE* _wfopen(LPCWSTR path, LPCWSTR mode) {
  if (!path || !mode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return PlatformFopen(WideToUtf8(path).c_str(), WideToUtf8(mode).c_str());
}
