#include "platform/registry_values.h"
#include "platform/registry.h"
#include "platform/wide.h"

std::string PlatformReadText(LPCWSTR keyPath, LPCWSTR name, const std::string& fallback) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) != ERROR_SUCCESS) return fallback;
  WCHAR value[512] = {};
  DWORD size = sizeof value - sizeof(WCHAR), type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return err == ERROR_SUCCESS && type == REG_SZ && value[0] ? WideToUtf8(value) : fallback;
}

DWORD PlatformReadDword(LPCWSTR keyPath, LPCWSTR name, DWORD fallback) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) != ERROR_SUCCESS) return fallback;
  DWORD value = 0, size = sizeof value, type = 0;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return err == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}
