// Runs read cycles through the reader's processing (DOP clamp, source stamp, correction stage,
// last known location) and asks for output at chosen moments, with the driver's clock under the
// caller's control. For tests, benchmarks and ferrox-decode --correct.
#pragma once
#include "support/fix_record.h"

// Starts a fresh run: a manual clock reading `now`, an empty fix history, the given source port.
void HarnessBegin(const SYSTEMTIME* now, int currentPort);
// Moves the clock to `now` (the driver's clock follows the GPS, as the clock check makes it).
void HarnessSetNow(const SYSTEMTIME* now);
void HarnessAdvance(DWORD ms);
// One read cycle's record through the reader's processing; returns 1 when it reached the
// correction stage.
int HarnessFeed(FixRecord* cycle);
// What a channel read reports now.
int HarnessRead(FixRecord* out);
// Back to the real clock.
void HarnessEnd();
// The measured-latency sample of a fix whose time is `fixTime`, arriving at `trueArrival` on a
// clock no receiver sets (the driver's clock is on the fix time, as the clock check puts it).
int HarnessMeasure(const SYSTEMTIME* fixTime, const SYSTEMTIME* trueArrival);
