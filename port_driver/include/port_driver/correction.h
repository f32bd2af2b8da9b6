// The correction stage: FrxFix on every input fix, BuildOutputFix on every channel read, and the
// fix history they share (serialised by one lock; records are copied in and out under it).
#pragma once
#include "support/fix_record.h"

struct FixHistory {
  FixRecord PrevFix;      // the latest accepted fix (also the latest unfixed data)
  FixRecord LastGoodFix;  // the accepted fix before it, at least 100 ms older; the last known position
  int HaveFirstFix;
};

constexpr DWORD kTurnLimitDeg = 45;
constexpr LONG kLagFloorMs = 100;
constexpr LONG kDefaultIntervalMs = 1000;
constexpr LONG kStaleDataMs = 10000;
constexpr LONG kLostFixMs = 60000;
constexpr LONG kPortLossGraceMs = 2000;

void FrxFix(FixRecord* fix);
// Fills the record to print; returns 1 when the position was projected.
int BuildOutputFix(FixRecord* out);
// The reset when the reader starts fresh: the last good position is kept.
void ResetFixHistory();
// A copy of the history (status display, tests).
void GetFixHistory(FixHistory* copy);
// Replaces the history (tests, and the reader's clock shift of the previous fix).
void SetFixHistory(const FixHistory* history);
// Shifts the time of the previous fix by `ms` (the GPS clock check).
void ShiftPrevFixTime(LONG ms);
