// The diagnostic log: lazily opened, rotated at the size limit, one lock around each line so
// that a prefix and its text stay together.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>
#include "platform/platform.h"
#include "support/clock.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

std::recursive_mutex g_lock;
char g_path[MAX_PATH] = "";
FILE* g_stream = nullptr;
DWORD g_tickBase = 0;
DWORD g_enable = 0;
bool g_echo = false;  // the program's own events also on standard error

const char kLogFolder[] = "\\Quorvale";

void CloseStream() {
  if (g_stream) {
    fflush(g_stream);
    fclose(g_stream);
    g_stream = nullptr;
  }
}

void CreateLogFolder() { CreateDirectoryW(Utf8ToWide(kLogFolder).c_str(), nullptr); }

void SetPath(const char* base) {
  snprintf(g_path, sizeof g_path, "%s\\%s.txt", kLogFolder, base && *base ? base : "LogFile");
}

int OpenLocked(int kind) {
  ResyncClock();
  CloseStream();
  if (g_enable == 0) return 0;
  if (!g_path[0]) {
    CreateLogFolder();
    SetPath(nullptr);
  }
  if (kind == 0) {
    g_stream = PlatformFopen(g_path, "a+b");
    if (g_stream) fseek(g_stream, 0, SEEK_END);  // so the size check sees the whole file
    return g_stream ? 1 : 0;
  }
  size_t len = strlen(g_path);
  char old[MAX_PATH + 8];
  snprintf(old, sizeof old, "%.*sOld.txt", static_cast<int>(len >= 4 ? len - 4 : 0), g_path);
  std::u16string wOld = Utf8ToWide(old), wPath = Utf8ToWide(g_path);
  DeleteFileW(wOld.c_str());
  MoveFileW(wPath.c_str(), wOld.c_str());
  g_stream = PlatformFopen(g_path, "w+b");
  if (kind == 1) g_tickBase = GetTickCount();
  if (g_stream) {
    char stamp[48];
    SYSTEMTIME now;
    FILETIME ft;
    ClockNow(&now);
    SystemTimeToFileTime(&now, &ft);
    FormatStamp(&ft, stamp, sizeof stamp);
    fprintf(g_stream, "%s\r\n", stamp);
  }
  return 1;
}

// One line; `keepOpen` is set by LogPrintf, whose text still follows the prefix.
int LineLocked(DWORD flags, const char* text, bool keepOpen) {
  long limit = kLogLimit;
  if (g_enable == 0) {
    if (!g_stream) return 0;
    if (!keepOpen) flags |= LOG_CLOSE;
  }
  if (g_enable > 1) limit = kLogLimitVerbose;
  if (flags & LOG_NEWFILE) OpenLocked(1);
  if (!g_stream) {
    OpenLocked(0);
    if (!g_stream) return 0;
  }
  if (ftell(g_stream) > limit) {
    OpenLocked(2);
    if (!g_stream) return 0;
  }
  int result = 0;
  if (!((flags & LOG_VERBOSE) && g_enable < 2)) {
    LONG ms = static_cast<LONG>(GetTickCount() - g_tickBase);
    fprintf(g_stream, "% .3d.%.3d%c", ms / 1000, ms % 1000, (flags & LOG_TAB) ? '\t' : ' ');
    if (text) fputs(text, g_stream);
    if (flags & LOG_CRLF) fputs("\r\n", g_stream);
    result = 1;
  }
  if (flags & LOG_FLUSH) fflush(g_stream);
  if (flags & LOG_CLOSE) CloseStream();
  return result;
}

// Whole event lines (not the verbose trace, not a line's pieces) go to standard error too when
// the program asked for it, whatever the log setting: the journal shows them.
void EchoLocked(DWORD flags, const char* text) {
  if (g_echo && text && (flags & LOG_CRLF) && !(flags & LOG_VERBOSE)) fprintf(stderr, "%s\n", text);
}

}  // namespace

void SetLogEcho(int on) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  g_echo = on != 0;
}

void LogEvent(const char* text) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  if (!g_echo) fprintf(stderr, "%s\n", text);
  LogLine(LOG_CRLF | LOG_FLUSH, text);
}

int LogLine(DWORD flags, const char* text) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  EchoLocked(flags, text);
  return LineLocked(flags, text, false);
}

void LogPrintf(DWORD flags, const char* format, ...) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  bool echo = g_echo && (flags & LOG_CRLF) && !(flags & LOG_VERBOSE);
  if (!echo && ((g_enable == 0 && !g_stream) || ((flags & LOG_VERBOSE) && g_enable < 2))) return;
  char small[1024];
  std::vector<char> big;
  va_list args;
  va_start(args, format);
  int n = PlatformVFormat(small, sizeof small, format, args);
  va_end(args);
  if (n >= static_cast<int>(sizeof small)) {
    big.resize(static_cast<size_t>(n) + 1);
    va_start(args, format);
    PlatformVFormat(big.data(), big.size(), format, args);
    va_end(args);
  }
  const char* text = n <= 0 ? "" : big.empty() ? small : big.data();
  EchoLocked(flags, text);
  if (g_enable == 0) {
    if (!g_stream) return;
    flags |= LOG_CLOSE;  // the line is written, then the file closed
  }
  if (!LineLocked(flags & ~(LOG_CRLF | LOG_FLUSH | LOG_CLOSE), nullptr, true)) return;
  fputs(text, g_stream);
  if (flags & LOG_CRLF) fputs("\r\n", g_stream);
  if (flags & LOG_FLUSH) fflush(g_stream);
  if (flags & LOG_CLOSE) CloseStream();
}

LogText Utf8Of(LPCWSTR text) {
  LogText out{};
  if (!text) return out;
  std::string utf8 = WideToUtf8(text);
  size_t n = utf8.size() < sizeof out.text - 1 ? utf8.size() : sizeof out.text - 1;
  while (n > 0 && n < utf8.size() && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;  // whole characters
  memcpy(out.text, utf8.data(), n);
  out.text[n] = 0;
  return out;
}

void SetLogName(const char* baseName) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  CloseStream();
  CreateLogFolder();
  SetPath(baseName);
}

DWORD LogReadEnableSetting(LPCWSTR keyName) {
  DWORD value = 0;
  HKEY key;
  if (OpenKey(keyName, &key) == ERROR_SUCCESS) {
    if (ReadValue(key, u"EnableLogs", &value, sizeof value) != ERROR_SUCCESS) value = 0;
    RegCloseKey(key);
  }
  LogSetEnable(value);
  return value;
}

void LogSetEnable(DWORD enableLogs) {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  g_enable = enableLogs;
}

DWORD LogEnable() {
  std::lock_guard<std::recursive_mutex> lock(g_lock);
  return g_enable;
}


