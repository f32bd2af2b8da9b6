// Data files in the "\Quorvale" folder of the first storage card that has one.
#include <cstdio>
#include "platform/platform.h"
#include "support/data_file.h"
#include "support/reg_helpers.h"

FILE* OpenDataFile(WCHAR* path, const char* fileName, BOOL forReading) {
  return OpenDataFileMode(path, fileName, forReading ? "rb" : "wb");
}

FILE* OpenDataFileMode(WCHAR* path, const char* fileName, const char* mode) {
  static const WCHAR* const kProfiles[] = {
      u"\\System\\StorageManager\\Profiles\\INAND",
      u"\\System\\StorageManager\\Profiles\\moviNAND",
      u"\\System\\StorageManager\\Profiles\\SDMemory",
  };
  for (const WCHAR* profile : kProfiles) {
    HKEY key;
    if (OpenKey(profile, &key) != ERROR_SUCCESS) continue;
    // "\" and the folder value, read into a 260-byte area and terminated whatever was stored.
    WCHAR folder[1 + 130 + 1] = u"\\";
    LONG err = ReadValue(key, u"Folder", folder + 1, 260);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS) continue;
    folder[131] = 0;
    WCHAR dir[MAX_PATH];
    size_t n = WideCopy(dir, MAX_PATH, folder);
    WideCopy(dir + n, MAX_PATH - n, u"\\Quorvale");
    CreateDirectoryW(dir, nullptr);
    std::string full = WideToUtf8(dir) + "\\" + fileName;
    Utf8ToWide(full.c_str(), path, MAX_PATH);
    FILE* f = PlatformFopen(full.c_str(), mode);
    if (f) return f;
  }
  path[0] = 0;
  return nullptr;
}
