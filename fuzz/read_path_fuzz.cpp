// Fuzzing the whole read path: bytes as a receiver sends them, framed into cycles and parsed in
// both readings, each cycle through the geoid correction and the correction stage, the output a
// program reads printed as a batch. Every batch must pass the written-sentence check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include "capture_cycles.h"
#include "pipeline_harness.h"
#include "platform/platform.h"
#include "port_driver/driver_state.h"
#include "port_driver/fix_pipeline.h"
#include "settings_store/settings.h"
#include "support/nmea_check.h"
#include "support/nmea_writer.h"
#include "../port_driver/src/geoid.h"

namespace {

void CheckBatch(const FixRecord* fix) {
  char batch[kNmeaBatchSize], why[256];
  int n = MakeNmeaBatch(fix, batch, sizeof batch);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof batch) abort();
  if (CheckNmeaBatch(batch, static_cast<size_t>(n), why, sizeof why) < 0) {
    fprintf(stderr, "written sentence fails the check: %s\n", why);
    abort();
  }
}

void OnCycle(const FixRecord& cycle, void*) {
  FixRecord fix = cycle;
  CheckBatch(&fix);  // the record as parsed
  InjectSeparation(&fix, 1);
  ProcessParsedFix(&fix);
  HarnessAdvance(1000);
  FixRecord out{};
  HarnessRead(&out);
  CheckBatch(&out);  // what a program reads
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char root[] = "/tmp/ferrox-read-path-fuzz-XXXXXX";
  if (!mkdtemp(root)) abort();
  PlatformSetRoot(root);
  ResetDriverSettings();
  SetProfileDefaults(1);
  g_System.EnableAltSep = 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SYSTEMTIME start = {2026, 12, 3, 9, 12, 0, 0, 0};
  for (bool strict : {false, true}) {
    HarnessBegin(&start, 1);
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!in) return 0;
    ReadCaptureCycles(in, strict, OnCycle, nullptr);
    fclose(in);
    HarnessEnd();
  }
  return 0;
}
