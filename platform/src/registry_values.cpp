// A setting written with the other type is read when its meaning is clear (a number written as
// text, a port written as a number); otherwise it is ignored with one line naming it, so no
// setting is dropped without a word.
#include "platform/registry_values.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include "platform/registry.h"
#include "platform/wide.h"

namespace {

// One line per value and type, for the life of the process.
void ReportIgnored(LPCWSTR keyPath, LPCWSTR name, DWORD type, const char* wanted) {
  std::string what = WideToUtf8(keyPath) + "\\" + WideToUtf8(name);
  if (!PlatformFirstReport(what + "/" + std::to_string(type))) return;
  fprintf(stderr, "platform: registry value %s has type %u, not %s: ignored, its default used\n", what.c_str(),
          static_cast<unsigned>(type), wanted);
}

}  // namespace

bool PlatformFirstReport(const std::string& what) {
  static std::mutex lock;
  static std::set<std::string> reported;
  std::lock_guard<std::mutex> guard(lock);
  return reported.insert(what).second;
}

bool PlatformNumberInText(const std::string& text, DWORD* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno || *end || v > 0xFFFFFFFFull) return false;
  *out = static_cast<DWORD>(v);
  return true;
}

std::string PlatformReadText(LPCWSTR keyPath, LPCWSTR name, const std::string& fallback) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) != ERROR_SUCCESS) return fallback;
  WCHAR value[512] = {};
  DWORD size = sizeof value - sizeof(WCHAR), type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS) return fallback;
  if (type == REG_SZ) return value[0] ? WideToUtf8(value) : fallback;
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number;
    memcpy(&number, value, sizeof number);
    return std::to_string(number);
  }
  ReportIgnored(keyPath, name, type, "text");
  return fallback;
}

DWORD PlatformReadDword(LPCWSTR keyPath, LPCWSTR name, DWORD fallback) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) != ERROR_SUCCESS) return fallback;
  WCHAR value[64] = {};
  DWORD size = sizeof value - sizeof(WCHAR), type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (err == ERROR_MORE_DATA) {
    ReportIgnored(keyPath, name, type, "a number");
    return fallback;
  }
  if (err != ERROR_SUCCESS) return fallback;
  DWORD number = 0;
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    memcpy(&number, value, sizeof number);
    return number;
  }
  if (type == REG_SZ && PlatformNumberInText(WideToUtf8(value), &number)) return number;
  ReportIgnored(keyPath, name, type, "a number");
  return fallback;
}
