// NMEA time and date fields, local time stamps, time differences and millisecond arithmetic.
#include <cstdio>
#include <cstring>
#include <mutex>
#include "platform/platform.h"
#include "support/clock.h"

namespace {

std::mutex g_stampLock;
char g_stamp[64];

// Milliseconds since 1601 of a SYSTEMTIME, without rejecting odd fields (a fix record may hold
// any numbers its receiver sent).
int64_t LenientMs(const SYSTEMTIME* t) {
  unsigned m = t->wMonth < 1 ? 1 : (t->wMonth > 12 ? 12 : t->wMonth);
  const int64_t days = PlatformDaysSince1601(t->wYear, m, t->wDay);
  return ((days * 24 + t->wHour) * 60 + t->wMinute) * 60000 + t->wSecond * 1000 + t->wMilliseconds;
}

}  // namespace

void TimeField(const SYSTEMTIME* t, char out[16]) {
  SYSTEMTIME now;
  if (!t->wHour && !t->wMinute && !t->wSecond && !t->wMilliseconds) {
    ClockNow(&now);
    t = &now;
  }
  out[0] = 0;  // a time no day has is an empty field
  if (t->wHour > 23 || t->wMinute > 59 || t->wSecond > 60 || t->wMilliseconds > 999) return;
  // (The remainders change nothing after the check; they show the compiler the widths.)
  snprintf(out, 16, "%.2d%.2d%.2d.%.3d", t->wHour % 24, t->wMinute % 60, t->wSecond % 61, t->wMilliseconds % 1000);
}

void DateField(const SYSTEMTIME* t, char out[16]) {
  SYSTEMTIME now;
  if (!t->wDay && !t->wMonth && !t->wYear) {
    ClockNow(&now);
    t = &now;
  }
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  out[0] = 0;  // a date no calendar has is an empty field
  if (t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 || t->wDay > kDays[t->wMonth - 1]) return;
  bool leap = t->wYear % 4 == 0 && (t->wYear % 100 != 0 || t->wYear % 400 == 0);
  if (t->wMonth == 2 && t->wDay == 29 && !leap) return;
  snprintf(out, 16, "%.2d%.2d%.2d", t->wDay % 32, t->wMonth % 13, t->wYear % 100);
}

void FormatStamp(const FILETIME* ft, char* out, size_t size) {
  FILETIME local;
  SYSTEMTIME st{};
  FileTimeToLocalFileTime(ft, &local);
  FileTimeToSystemTime(&local, &st);
  char date[16], time[16];
  DateField(&st, date);
  TimeField(&st, time);
  snprintf(out, size, "%s %s", date, time);
}

const char* StampFileTime(const FILETIME* ft) {
  std::lock_guard<std::mutex> lock(g_stampLock);
  FormatStamp(ft, g_stamp, sizeof g_stamp);
  return g_stamp;
}

const char* StampSystemTime(const SYSTEMTIME* st) {
  FILETIME ft{};
  SystemTimeToFileTime(st, &ft);
  std::lock_guard<std::mutex> lock(g_stampLock);
  FormatStamp(&ft, g_stamp, sizeof g_stamp - 2);
  snprintf(g_stamp + strlen(g_stamp), 3, "\r\n");
  return g_stamp;
}

const char* StampNow() {
  SYSTEMTIME now;
  ClockNow(&now);
  return StampSystemTime(&now);
}

LONG TimeDifference(const SYSTEMTIME* a, const SYSTEMTIME* b) {
  bool noA = a->wDay == 0, noB = b->wDay == 0;
  if (noA && noB) return 0;
  if (noA) return 0x7FFFFFFF;
  if (noB) return static_cast<LONG>(0x80000000u);
  int64_t d = LenientMs(b) - LenientMs(a);
  if (d > 2147483647) d = 2147483647;
  if (d < -2147483647) d = -2147483647;
  return static_cast<LONG>(d);
}

void AddMilliseconds(SYSTEMTIME* t, LONG ms) {
  FILETIME ft;
  if (!SystemTimeToFileTime(t, &ft)) return;
  ULONGLONG v = FileTimeToU64(ft) + static_cast<ULONGLONG>(static_cast<int64_t>(ms) * static_cast<int64_t>(kFileTimePerMs));
  ft = U64ToFileTime(v);
  FileTimeToSystemTime(&ft, t);
}
