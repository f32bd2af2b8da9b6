// The log clock: a base taken from the system time (or the GPS) plus the tick count, and
// setting the system clock from a GPS time.
#include <atomic>
#include "platform/platform.h"
#include "support/clock.h"
#include "support/log.h"

namespace {

std::atomic<ULONGLONG> g_clockBase{0};
std::atomic<bool> g_setsSystemTime{true};

ULONGLONG SystemFileTime() {
  SYSTEMTIME st;
  FILETIME ft;
  GetSystemTime(&st);
  SystemTimeToFileTime(&st, &ft);
  return FileTimeToU64(ft);
}

void FromFileTime(ULONGLONG v, SYSTEMTIME* out) {
  FILETIME ft = U64ToFileTime(v);
  FileTimeToSystemTime(&ft, out);
}

}  // namespace

void SetClockSetsSystemTime(int on) { g_setsSystemTime = on != 0; }

void SetClockBase(ULONGLONG base) { g_clockBase = base; }

void ResyncClock() { g_clockBase = SystemFileTime() - static_cast<ULONGLONG>(GetTickCount()) * kFileTimePerMs; }

void ClockNow(SYSTEMTIME* now) {
  ULONGLONG base = g_clockBase;
  if (base) FromFileTime(base + static_cast<ULONGLONG>(GetTickCount()) * kFileTimePerMs, now);
  else GetSystemTime(now);
}

void SetClockFromGps(const SYSTEMTIME* g, DWORD tick, HANDLE e) {
  FILETIME gps;
  if (!SystemTimeToFileTime(g, &gps)) return;
  LogPrintf(LOG_CRLF, "Set Clock at Time: %s", StampNow());
  ULONGLONG old = g_clockBase;
  // Never synced: the log clock was the system clock.
  if (!old) old = SystemFileTime() - static_cast<ULONGLONG>(GetTickCount()) * kFileTimePerMs;
  ULONGLONG base = FileTimeToU64(gps) - static_cast<ULONGLONG>(tick) * kFileTimePerMs;
  g_clockBase = base;
  int64_t aheadMs = (static_cast<int64_t>(base) - static_cast<int64_t>(old)) / static_cast<int64_t>(kFileTimePerMs);
  if (aheadMs > 1000 && g_setsSystemTime) {
    SYSTEMTIME copy = *g;
    int64_t wait = (1000 - static_cast<int64_t>(g->wMilliseconds)) - static_cast<int64_t>(GetTickCount() - tick);
    if (wait > 0) {  // a late call does not wait at all (a negative wait would never end)
      if (e) WaitForSingleObject(e, static_cast<DWORD>(wait));
      else Sleep(static_cast<DWORD>(wait));
    }
    copy.wMilliseconds = 0;
    AddMilliseconds(&copy, 1000);
    FILETIME target;
    SystemTimeToFileTime(&copy, &target);
    if (FileTimeToU64(target) > SystemFileTime()) SetSystemTime(&copy);  // never backwards
  }
  LogPrintf(LOG_CRLF, "Clock Synced at %s", StampNow());
}
