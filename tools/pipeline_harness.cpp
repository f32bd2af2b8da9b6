#include "pipeline_harness.h"
#include "platform/platform.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "port_driver/fix_pipeline.h"
#include "support/clock.h"

void HarnessBegin(const SYSTEMTIME* now, int currentPort) {
  PlatformSetManualTicks(true, 1000000);
  HarnessSetNow(now);
  g_Driver.CurrentPort = currentPort;
  FixHistory empty{};
  SetFixHistory(&empty);
  ResetFixHistory();
}

void HarnessSetNow(const SYSTEMTIME* now) {
  FILETIME ft;
  if (!SystemTimeToFileTime(now, &ft)) return;
  SetClockBase(FileTimeToU64(ft) - static_cast<ULONGLONG>(GetTickCount()) * kFileTimePerMs);
}

void HarnessAdvance(DWORD ms) { PlatformAdvanceTicks(ms); }

int HarnessFeed(FixRecord* cycle) {
  int reached = ProcessParsedFix(cycle);
  StoreFixPosition(cycle);
  return reached;
}

int HarnessRead(FixRecord* out) { return BuildOutputFix(out); }

int HarnessMeasure(const SYSTEMTIME* fixTime, const SYSTEMTIME* trueArrival) {
  return MeasureReceiverLatency(g_Driver.CurrentPort, fixTime, trueArrival, 0);
}

void HarnessEnd() {
  SetClockBase(0);
  PlatformSetManualTicks(false, 0);
}
