// The diagnostic log file of a deliverable: "\Quorvale\<base>.txt", rotated to "<base>Old.txt".
#pragma once
#include "platform/types.h"

#define LOG_CRLF 1u
#define LOG_NEWFILE 2u
#define LOG_VERBOSE 4u
#define LOG_FLUSH 8u
#define LOG_CLOSE 16u
#define LOG_TAB 32u

constexpr long kLogLimit = 256000;
constexpr long kLogLimitVerbose = 2560000;

// Writes the prefix, the separator and the text; returns 1 if the line was written, 0 if not.
int LogLine(DWORD flags, const char* text);
// Writes the prefix and the formatted text (printf conventions, checked by the compiler; UTF-16
// text goes through Utf8Of).
void LogPrintf(DWORD flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
// UTF-16 text as UTF-8 for a "%s" of a log line (cut at 511 bytes); the result lives to the end
// of the statement that made it: LogPrintf(0, "%s", Utf8Of(name).text).
struct LogText {
  char text[512];
};
LogText Utf8Of(LPCWSTR text);
// Closes the open log and sets the file name from the base name ("LogFile" for none or empty).
void SetLogName(const char* baseName);
// On: this program's whole event lines (not verbose ones) go to standard error as well.
void SetLogEcho(int on);
// A line a person must see: on standard error (once, echoing or not) and in the log.
void LogEvent(const char* text);
// Reads EnableLogs from the registry key `key` (0 when missing) and keeps it; returns it.
DWORD LogReadEnableSetting(LPCWSTR key);
void LogSetEnable(DWORD enableLogs);
DWORD LogEnable();
