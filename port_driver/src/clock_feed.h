// Time for a time daemon (value ChronySocket of the driver's key: the path of the daemon's
// sample socket): one sample per receiver fix, the receiver's time at the burst's arrival
// against the system clock, corrected by the receiver's measured latency. While it is set the
// driver leaves the system clock to the daemon.
#pragma once
#include <cstddef>
#include <cstdint>
#include "support/fix_record.h"

// The daemon's sample: the system time of the measurement, the offset true time - system time
// in seconds, pulse and leap flags, and its magic. Laid out as the daemon reads it on 64-bit
// Linux (a timeval of two longs).
struct ClockSample {
  int64_t tvSec;
  int64_t tvUsec;
  double offset;
  int32_t pulse;
  int32_t leap;
  int32_t pad;
  int32_t magic;
};
static_assert(sizeof(ClockSample) == 40);
static_assert(offsetof(ClockSample, tvUsec) == 8);
static_assert(offsetof(ClockSample, offset) == 16);
static_assert(offsetof(ClockSample, pulse) == 24);
static_assert(offsetof(ClockSample, leap) == 28);
static_assert(offsetof(ClockSample, magic) == 36);
constexpr int32_t kClockSampleMagic = 0x534f434b;  // "SOCK"
// Latencies measured before the feed holds their median for the rest of the run.
constexpr int kFeedLatencySamples = 8;

// Reads ChronySocket; returns 1 when the feed is on. Sets whether the driver sets the system clock.
int LoadClockFeed();
// A latency of the receiver on `port` measured against a clock no receiver sets (ms).
void ClockFeedLatency(int port, LONG latencyMs);
// The latency the feed corrects by on `port` (ms), or -1 while it is still measuring it.
LONG ClockFeedCorrection(int port);
// Fills `sample` for a receiver fix that arrived at `arrivalUs` (system clock, us since 1970);
// returns 0 for a fix that gives no time (no fix, no date).
int MakeClockSample(const FixRecord* fix, int64_t arrivalUs, LONG latencyMs, ClockSample* sample);
// Sends the sample of this fix when the feed is on; returns 1 when the daemon's socket took it.
int FeedClockSample(const FixRecord* fix, int port, int64_t arrivalUs);
