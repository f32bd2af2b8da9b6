// Tick count, sleeping, system time and file-time conversions, with the test time scale.
#pragma once
#include "platform/types.h"

DWORD GetTickCount();
void Sleep(DWORD ms);
void GetSystemTime(SYSTEMTIME* st);
void GetLocalTime(SYSTEMTIME* st);
BOOL SetSystemTime(const SYSTEMTIME* st);
// Days from 1601-01-01 (the file-time epoch) to a date of the proleptic Gregorian calendar; a day
// outside the month counts on from its first (day 0 is the day before it).
int64_t PlatformDaysSince1601(int year, unsigned month, int day);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
BOOL FileTimeToLocalFileTime(const FILETIME* ft, FILETIME* local);
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);

// Time scale: every tick, wait, sleep and clock reading runs `scale` times faster; the tick count
// is shifted by `tickOffset`. Read from FERROX_TIME_SCALE and FERROX_TICK_OFFSET on first use;
// tests may set them directly.
void PlatformSetTimeScale(double scale);
double PlatformTimeScale();
// The real time (ms since 1970) from which the scaled clock runs; other processes of a test get
// it as FERROX_TIME_ORIGIN so that their clocks agree.
int64_t PlatformTimeOriginMs();
void PlatformSetTickOffset(int64_t offset);
// A manual clock for tests: while on, the tick count stands still except when advanced, and the
// system time moves with it from the moment it was switched on. Waits still run in real time.
void PlatformSetManualTicks(bool on, DWORD start);
void PlatformAdvanceTicks(DWORD ms);
// Real milliseconds that a platform wait of `ms` lasts.
double PlatformRealMs(DWORD ms);
// Offset applied to the system clock by SetSystemTime when the real clock is not set (ms).
int64_t PlatformClockOffsetMs();
void PlatformResetClockOffset();

// A clock that no receiver sets, for measuring how late a receiver reports: the system's own time
// (scaled, without the offset SetSystemTime carries). Returns 1 and fills `st` while that clock
// can be trusted: the kernel says NTP keeps it (or FERROX_REFERENCE_CLOCK=trusted says so), and
// SetSystemTime has not set the real clock from a receiver. FERROX_REFERENCE_CLOCK=none: never.
BOOL PlatformReferenceTime(SYSTEMTIME* st);
// The system's own clock in microseconds since 1970 (scaled as the system time, without the offset
// SetSystemTime carries): what a time daemon on this machine calls the system time.
int64_t PlatformSystemClockUs();
enum ReferenceClockMode { REFERENCE_CLOCK_NTP = 0, REFERENCE_CLOCK_TRUSTED = 1, REFERENCE_CLOCK_NONE = 2 };
void PlatformSetReferenceClock(ReferenceClockMode mode);

// File-time units (100 ns) in a millisecond and a second.
constexpr ULONGLONG kFileTimePerMs = 10000;
constexpr ULONGLONG kFileTimePerSecond = 10000000;
// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kFileTimeUnixEpoch = 116444736000000000ULL;
inline ULONGLONG FileTimeToU64(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME U64ToFileTime(ULONGLONG v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}
