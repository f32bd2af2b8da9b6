// The log clock, NMEA time and date fields, time stamps, time differences and setting the
// system clock from a GPS time.
#pragma once
#include "platform/types.h"

// Clock base: system time minus tick count x 10000 at the last sync; 0 = never synced.
void SetClockBase(ULONGLONG base);
// Clock base = system time - tick count x 10000.
void ResyncClock();
// Now (UTC): clock base + tick count x 10000 when the base is set, else the system time.
void ClockNow(SYSTEMTIME* now);

// "hhmmss.sss" (11 characters and NUL); all four fields 0 means now; a time of no day is "".
void TimeField(const SYSTEMTIME* t, char out[16]);
// "ddmmyy"; day, month and year all 0 means now; a day of no calendar is "".
void DateField(const SYSTEMTIME* t, char out[16]);

// Local date and time "ddmmyy hhmmss.sss" of a FILETIME into a caller's buffer (at least 32).
void FormatStamp(const FILETIME* ft, char* out, size_t size);
// The same into the shared stamp buffer; the SYSTEMTIME forms add "\r\n".
const char* StampFileTime(const FILETIME* ft);
const char* StampSystemTime(const SYSTEMTIME* st);
const char* StampNow();

// b - a in ms, signed 32-bit, with the no-day rules (a day of 0 means no date).
LONG TimeDifference(const SYSTEMTIME* a, const SYSTEMTIME* b);
// Adds signed milliseconds through FILETIME.
void AddMilliseconds(SYSTEMTIME* t, LONG ms);
// Makes the log clock follow the GPS time g received at tick t and, when the GPS is more than
// one second ahead, sets the system clock at the next whole GPS second (waiting on e).
void SetClockFromGps(const SYSTEMTIME* g, DWORD tick, HANDLE e);
// 0: SetClockFromGps moves the log clock only and leaves the system clock to a time daemon that
// takes the driver's samples (1, the default: it sets it as above).
void SetClockSetsSystemTime(int on);
