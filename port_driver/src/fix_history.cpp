// The fix history and its lock.
#include <cstring>
#include "fix_history_lock.h"
#include "port_driver/correction.h"

FixHistory g_History;

namespace {
struct Lock {
  CRITICAL_SECTION cs;
  Lock() { InitializeCriticalSection(&cs); }
} g_lock;
}  // namespace

HistoryGuard::HistoryGuard() { EnterCriticalSection(&g_lock.cs); }
HistoryGuard::~HistoryGuard() { LeaveCriticalSection(&g_lock.cs); }

void ResetFixHistory() {
  HistoryGuard guard;
  g_History.HaveFirstFix = 0;
  memset(&g_History.PrevFix, 0, sizeof g_History.PrevFix);
  g_History.LastGoodFix.Speed = 0;
  g_History.LastGoodFix.Heading = 0;
  g_History.LastGoodFix.SourceKind = SOURCE_LAST_KNOWN;
}

void GetFixHistory(FixHistory* copy) {
  HistoryGuard guard;
  *copy = g_History;
}

void SetFixHistory(const FixHistory* history) {
  HistoryGuard guard;
  g_History = *history;
}

void ShiftPrevFixTime(LONG ms) {
  HistoryGuard guard;
  AddMilliseconds(&g_History.PrevFix.UtcTime, ms);
}
