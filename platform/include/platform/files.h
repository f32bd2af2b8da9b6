// Files and folders under the data root, with platform paths ("\Quorvale\x", "\Windows\x").
#pragma once
#include <cstdio>
#include <string>
#include "platform/types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
};
static_assert(offsetof(WIN32_FIND_DATAW, nFileSizeHigh) == 28);
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 40);
static_assert(sizeof(WIN32_FIND_DATAW) == 560);

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa);
BOOL RemoveDirectoryW(LPCWSTR path);
// Fails with ERROR_SHARING_VIOLATION while the file is open in this process.
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileW(LPCWSTR from, LPCWSTR to);
// MOVEFILE_REPLACE_EXISTING: the target is replaced in one step (a reader sees the old file or the
// new one, never neither); MOVEFILE_WRITE_THROUGH: the rename is on disk when the call returns.
// A target or source open in this process fails with ERROR_SHARING_VIOLATION.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 1;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 8;
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
// Puts the file's data on disk.
BOOL FlushFileBuffers(HANDLE h);
DWORD GetFileAttributesW(LPCWSTR path);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped);
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE h);
DWORD GetFileSize(HANDLE h, LPDWORD sizeHigh);
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE h);

// Buffered streams on platform paths (8-bit and UTF-16 names). On failure errno is set and the
// platform last error says why (ERROR_ACCESS_DENIED for paths that leave the root).
FILE* PlatformFopen(const char* path, const char* mode);
// The data root holds the user's positions: what the system makes there is the user's alone,
// whatever the umask. Makes the Linux folder `path` and its parents 0700 (false when one can't be
// made), and the Linux file `path` 0600 when it does not exist yet (its content left as it is).
bool PlatformMakePrivateDirs(const std::string& path);
// The whole of a Linux file into `text`; false (errno set) when it cannot be read.
bool PlatformReadLinuxFile(const std::string& path, std::string* text);
void PlatformCreatePrivateFile(const std::string& path);
FILE* _wfopen(LPCWSTR path, LPCWSTR mode);

// The data root: FERROX_ROOT, else $XDG_DATA_HOME/ferrox, else ~/.local/share/ferrox.
const std::string& PlatformRoot();
// Replaces the data root for this process (tools' --root, tests); closes the registry.
void PlatformSetRoot(const std::string& root);
// Translates a platform path into a Linux path under the root. Existing components are matched
// without regard to case. Returns ERROR_SUCCESS, ERROR_ACCESS_DENIED for ".." or escapes, or
// ERROR_INVALID_NAME for an empty path.
DWORD PlatformTranslatePath(const char* platformPath, std::string& linuxPath);
DWORD PlatformTranslatePathW(LPCWSTR platformPath, std::string& linuxPath);
// Case-insensitive match of a file name against a pattern with * and ?.
bool PlatformNameMatches(const char* pattern, const char* name);
