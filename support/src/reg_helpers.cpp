// Registry helpers: fixed arguments and one log line per call, so that a verbose log shows
// every key and value the program touched.
#include <cstdio>
#include <cstring>
#include <string>
#include "platform/platform.h"
#include "platform/registry_values.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

// Text of a REG_SZ buffer of `bytes` bytes, safe when the value carries no terminator.
std::string SzText(const void* data, DWORD bytes) {
  const WCHAR* w = static_cast<const WCHAR*>(data);
  size_t units = bytes / sizeof(WCHAR), n = 0;
  while (n < units && w[n]) ++n;
  return WideToUtf8(w, n);
}

DWORD FirstWord(const void* data, DWORD bytes) {
  DWORD v = 0;
  memcpy(&v, data, bytes < 4 ? bytes : 4);
  return v;
}

// Verbose lines only: nothing is formatted unless the log takes them (a value is written per fix).
void LogValue(const char* verb, LPCWSTR name, DWORD type, const void* data, DWORD givenSize, DWORD bytes) {
  if (LogEnable() < 2) return;
  if (type == REG_SZ) {
    std::string text = SzText(data, bytes);
    LogPrintf(LOG_VERBOSE, "%s %s: %d bytes, %s\r\n", verb, Utf8Of(name).text, bytes, text.c_str());
  } else if (type == REG_BINARY && givenSize == 8) {
    FILETIME ft;
    memcpy(&ft, data, 8);
    char stamp[48];
    FormatStamp(&ft, stamp, sizeof stamp);
    LogPrintf(LOG_VERBOSE, "%s %s: %s\r\n", verb, Utf8Of(name).text, stamp);
  } else {
    LogPrintf(LOG_VERBOSE, "%s %s: %d bytes, %u\r\n", verb, Utf8Of(name).text, bytes, FirstWord(data, bytes));
  }
}

}  // namespace

LONG OpenKey(LPCWSTR path, HKEY* key) {
  if (!key) return -1;
  LONG err = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, key);
  if (LogEnable() < 2) return err;
  if (err == ERROR_SUCCESS) LogPrintf(LOG_VERBOSE, "Open Existing Key: %s: OK\r\n", Utf8Of(path).text);
  else LogPrintf(LOG_VERBOSE, "Open Existing Key Fail: %s: %d\r\n", Utf8Of(path).text, err);
  return err;
}

LONG CreateKey(LPCWSTR path, HKEY* key) {
  if (!key) return -1;
  DWORD disposition = 0;
  WCHAR keyClass[] = u"FerroxDriver";
  LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, keyClass, 0, 0, nullptr, key, &disposition);
  if (err == ERROR_SUCCESS)
    LogPrintf(LOG_VERBOSE, "%s Key: %s\r\n", disposition == REG_CREATED_NEW_KEY ? "Created" : "Opened", Utf8Of(path).text);
  else LogPrintf(LOG_VERBOSE, "Open New Key Failed: %s: %d\r\n", Utf8Of(path).text, err);
  return err;
}

LONG ReadValue(HKEY key, LPCWSTR name, void* buffer, DWORD size) {
  if (!key) return -1;
  DWORD type = 0, left = size;
  LONG err = RegQueryValueExW(key, name, nullptr, &type, static_cast<LPBYTE>(buffer), &left);
  if (err != ERROR_SUCCESS) {
    LogPrintf(0, "Read %s: %d, %d\r\n", Utf8Of(name).text, err, left);
    return err;
  }
  LogValue("Read", name, type, buffer, size, left);
  return err;
}

LONG WriteValue(HKEY key, LPCWSTR name, DWORD type, const void* data, DWORD size) {
  if (!key) return -1;
  LONG err = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  if (err != ERROR_SUCCESS) LogPrintf(LOG_VERBOSE, "Save %s: %d, %d\r\n", Utf8Of(name).text, err, size);
  else LogValue("Write", name, type, data, size, size);
  return err;
}

namespace {

// One line (standard error and the log) per value name of another type, for the process's life,
// naming the value used in its place.
void ReportWrongType(LPCWSTR name, DWORD type, DWORD used, bool fromText) {
  std::string n = Utf8Of(name).text;
  if (!PlatformFirstReport(n + "/" + std::to_string(type))) return;
  char line[200], kind[16];
  if (type == REG_SZ) snprintf(kind, sizeof kind, "sz");
  else if (type == REG_BINARY) snprintf(kind, sizeof kind, "binary");
  else snprintf(kind, sizeof kind, "of type %u", static_cast<unsigned>(type));
  snprintf(line, sizeof line, "registry value %s is %s, not dword: %u used (%s)", n.c_str(), kind,
           static_cast<unsigned>(used), fromText ? "the number in its text" : "its default");
  LogEvent(line);
}

}  // namespace

LONG ReadDword(HKEY key, LPCWSTR name, DWORD* value) {
  if (!key) return -1;
  WCHAR data[24] = {};
  DWORD type = 0, size = sizeof data - sizeof(WCHAR);
  LONG err = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  if (err == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)) {
    memcpy(value, data, sizeof(DWORD));
    LogValue("Read", name, type, data, sizeof(DWORD), size);
    return ERROR_SUCCESS;
  }
  if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA) {
    LogPrintf(0, "Read %s: %d, %d\r\n", Utf8Of(name).text, err, size);
    return err;
  }
  // Another type: a number in text is taken, anything else leaves the caller's default.
  DWORD number = 0;
  bool fromText = err == ERROR_SUCCESS && type == REG_SZ && PlatformNumberInText(WideToUtf8(data), &number);
  if (fromText) *value = number;
  ReportWrongType(name, type, *value, fromText);
  return fromText ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG WriteDword(HKEY key, LPCWSTR name, DWORD value) { return WriteValue(key, name, REG_DWORD, &value, sizeof value); }

LONG WriteString(HKEY key, LPCWSTR name, LPCWSTR text) {
  return WriteValue(key, name, REG_SZ, text, static_cast<DWORD>((WideLen(text) + 1) * sizeof(WCHAR)));
}
