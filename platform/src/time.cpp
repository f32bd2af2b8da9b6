// Tick count, sleep, system time and file-time conversions. The time scale runs every tick,
// wait, sleep and clock reading N times faster; ticks come from CLOCK_MONOTONIC, so processes
// with the same scale and offset agree on the tick count.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <sys/timex.h>
#include "platform/kernel.h"
#include "platform/time.h"

namespace {

std::once_flag g_configOnce;
std::atomic<double> g_scale{1.0};
std::atomic<int64_t> g_tickOffset{0};
std::atomic<int64_t> g_clockOffsetMs{0};
int64_t g_originRealMs = 0;  // real time from which the scaled system clock runs
std::atomic<bool> g_manual{false};
std::atomic<int> g_referenceMode{-1};       // -1: not yet read from FERROX_REFERENCE_CLOCK
std::atomic<bool> g_realClockSetByUs{false};  // the real clock now follows a receiver
std::atomic<DWORD> g_manualTicks{0};
DWORD g_manualStart = 0;
int64_t g_manualRealMs = 0;

// A clock that cannot be read (never seen on Linux for these two) stands still at its last
// reading rather than jumping to garbage.
int64_t ReadClockMs(clockid_t clock, std::atomic<int64_t>* last) {
  timespec ts;
  if (clock_gettime(clock, &ts) != 0) return last->load();
  int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  last->store(ms);
  return ms;
}

std::atomic<int64_t> g_lastMono{0}, g_lastReal{0};

int64_t MonoMs() { return ReadClockMs(CLOCK_MONOTONIC, &g_lastMono); }

int64_t RealMs() { return ReadClockMs(CLOCK_REALTIME, &g_lastReal); }

void Configure() {
  std::call_once(g_configOnce, [] {
    if (const char* s = getenv("FERROX_TIME_SCALE")) {
      double v = strtod(s, nullptr);
      if (v >= 1.0 && v <= 100000.0) g_scale = v;
    }
    if (const char* s = getenv("FERROX_TICK_OFFSET")) g_tickOffset = strtoll(s, nullptr, 0);
    // Processes of one test share FERROX_TIME_ORIGIN (real ms) so their scaled clocks agree.
    if (const char* s = getenv("FERROX_TIME_ORIGIN")) g_originRealMs = strtoll(s, nullptr, 0);
    if (g_originRealMs <= 0) g_originRealMs = RealMs();
  });
}

// Scaled real time in ms since 1970, without the clock offset.
int64_t ScaledRealMs() {
  Configure();
  if (g_manual) return g_manualRealMs + static_cast<DWORD>(g_manualTicks - g_manualStart);
  double scale = g_scale;
  int64_t real = RealMs();
  if (scale == 1.0) return real;
  return g_originRealMs + static_cast<int64_t>(static_cast<double>(real - g_originRealMs) * scale);
}

int DaysInMonth(int y, int m) {
  return static_cast<int>(static_cast<unsigned>(
      std::chrono::year_month_day_last(std::chrono::year(y), std::chrono::month_day_last(std::chrono::month(m))).day()));
}

namespace chr = std::chrono;
constexpr chr::sys_days kFileTimeEpochDay = chr::sys_days(chr::year(1601) / chr::January / 1);

void MsToSystemTime(int64_t unixMs, SYSTEMTIME* st) {
  FILETIME ft = U64ToFileTime(static_cast<ULONGLONG>(unixMs) * kFileTimePerMs + kFileTimeUnixEpoch);
  FileTimeToSystemTime(&ft, st);
}

}  // namespace

void PlatformSetTimeScale(double scale) {
  Configure();
  if (scale >= 1.0) g_scale = scale;
}
int64_t PlatformTimeOriginMs() {
  Configure();
  return g_originRealMs;
}

double PlatformTimeScale() {
  Configure();
  return g_scale;
}
void PlatformSetTickOffset(int64_t offset) {
  Configure();
  g_tickOffset = offset;
}
double PlatformRealMs(DWORD ms) { return static_cast<double>(ms) / PlatformTimeScale(); }
int64_t PlatformClockOffsetMs() { return g_clockOffsetMs; }
void PlatformResetClockOffset() { g_clockOffsetMs = 0; }

void PlatformSetManualTicks(bool on, DWORD start) {
  if (on) {
    g_manual = false;
    g_manualRealMs = ScaledRealMs();
    g_manualStart = start;
    g_manualTicks = start;
  }
  g_manual = on;
}

void PlatformAdvanceTicks(DWORD ms) { g_manualTicks += ms; }

DWORD GetTickCount() {
  Configure();
  if (g_manual) return g_manualTicks;
  double scaled = static_cast<double>(MonoMs()) * g_scale;
  return static_cast<DWORD>(static_cast<uint64_t>(static_cast<int64_t>(scaled) + g_tickOffset));
}

void Sleep(DWORD ms) {
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(PlatformRealMs(ms) * 1000.0)));
}

void GetSystemTime(SYSTEMTIME* st) { MsToSystemTime(ScaledRealMs() + g_clockOffsetMs, st); }

void GetLocalTime(SYSTEMTIME* st) {
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  FILETIME ft, local;
  SystemTimeToFileTime(&utc, &ft);
  FileTimeToLocalFileTime(&ft, &local);
  FileTimeToSystemTime(&local, st);
}

// The real clock is set only when FERROX_SET_REAL_CLOCK=1 and the process may do it; otherwise
// the platform clock of this process carries the difference as an offset.
BOOL SetSystemTime(const SYSTEMTIME* st) {
  FILETIME ft;
  if (!st || !SystemTimeToFileTime(st, &ft)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t targetMs = static_cast<int64_t>((FileTimeToU64(ft) - kFileTimeUnixEpoch) / kFileTimePerMs);
  const char* real = getenv("FERROX_SET_REAL_CLOCK");
  if (real && real[0] == '1' && PlatformTimeScale() == 1.0) {
    timespec ts{static_cast<time_t>(targetMs / 1000), static_cast<long>(targetMs % 1000) * 1000000};
    if (clock_settime(CLOCK_REALTIME, &ts) == 0) {
      g_clockOffsetMs = 0;
      g_realClockSetByUs = true;
      return TRUE;
    }
  }
  g_clockOffsetMs = targetMs - ScaledRealMs();
  return TRUE;
}

void PlatformSetReferenceClock(ReferenceClockMode mode) { g_referenceMode = mode; }

BOOL PlatformReferenceTime(SYSTEMTIME* st) {
  int mode = g_referenceMode;
  if (mode < 0) {
    const char* s = getenv("FERROX_REFERENCE_CLOCK");
    mode = !s ? REFERENCE_CLOCK_NTP
         : strcmp(s, "trusted") == 0 ? REFERENCE_CLOCK_TRUSTED
         : strcmp(s, "none") == 0 ? REFERENCE_CLOCK_NONE : REFERENCE_CLOCK_NTP;
    g_referenceMode = mode;
  }
  if (mode == REFERENCE_CLOCK_NONE || g_realClockSetByUs) return FALSE;
  if (mode == REFERENCE_CLOCK_NTP) {
    timex tx{};  // modes 0: a read, allowed to anyone
    int state = adjtimex(&tx);
    if (state < 0 || state == TIME_ERROR || (tx.status & STA_UNSYNC)) return FALSE;
  }
  if (st) MsToSystemTime(ScaledRealMs(), st);
  return TRUE;
}

int64_t PlatformSystemClockUs() {
  Configure();
  if (g_manual || g_scale != 1.0) return ScaledRealMs() * 1000;
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return RealMs() * 1000;
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t PlatformDaysSince1601(int year, unsigned month, int day) {
  // From the first of the month, so that a day past the month's end (or before it) counts on.
  chr::sys_days first(chr::year(year) / chr::month(month) / 1);
  return (first + chr::days(day - 1) - kFileTimeEpochDay).count();
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
      st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days = PlatformDaysSince1601(st->wYear, st->wMonth, st->wDay);
  int64_t ms = ((days * 24 + st->wHour) * 60 + st->wMinute) * 60000 + st->wSecond * 1000 + st->wMilliseconds;
  *ft = U64ToFileTime(static_cast<ULONGLONG>(ms) * kFileTimePerMs);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (!ft || !st) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = FileTimeToU64(*ft);
  if (v >= 0x8000000000000000ULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t ms = static_cast<int64_t>(v / kFileTimePerMs);
  int64_t days = ms / 86400000;
  int64_t rest = ms % 86400000;
  chr::year_month_day date(kFileTimeEpochDay + chr::days(days));
  st->wYear = static_cast<WORD>(static_cast<int>(date.year()));
  st->wMonth = static_cast<WORD>(static_cast<unsigned>(date.month()));
  st->wDay = static_cast<WORD>(static_cast<unsigned>(date.day()));
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<WORD>(rest / 3600000);
  st->wMinute = static_cast<WORD>(rest / 60000 % 60);
  st->wSecond = static_cast<WORD>(rest / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(rest % 1000);
  return TRUE;
}

// Local time follows the TZ of the process.
BOOL FileTimeToLocalFileTime(const FILETIME* ft, FILETIME* local) {
  if (!ft || !local) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = FileTimeToU64(*ft);
  time_t secs = static_cast<time_t>((static_cast<int64_t>(v) - static_cast<int64_t>(kFileTimeUnixEpoch)) / 10000000);
  tm parts;
  long offset = 0;
  if (localtime_r(&secs, &parts)) offset = parts.tm_gmtoff;
  *local = U64ToFileTime(v + static_cast<ULONGLONG>(static_cast<int64_t>(offset) * 10000000));
  return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
  ULONGLONG x = FileTimeToU64(*a), y = FileTimeToU64(*b);
  return x < y ? -1 : (x > y ? 1 : 0);
}
