// The correction stage: FrxFix on every input fix, BuildOutputFix on every channel read, and the
// fix history they share (serialised by one lock; records are copied in and out under it).
#pragma once
#include "support/fix_record.h"

constexpr int kStillPositions = 30;

// The standstill of the noise-aware mode (profile value HonestStill): the receiver's positions
// since the device stopped, whose mean is reported, and the votes for leaving it.
struct StillState {
  double latitude[kStillPositions];
  double longitude[kStillPositions];
  int count;        // positions held (at most kStillPositions, the oldest replaced)
  int next;         // where the next one goes
  int votes;        // consecutive fixes beyond the noise
  double bearing;   // of the first of them, degrees
  double pendingLatitude, pendingLongitude;  // the first of them, counted if no second follows
};

struct FixHistory {
  FixRecord PrevFix;      // the latest accepted fix (also the latest unfixed data)
  FixRecord LastGoodFix;  // the accepted fix before it, at least 100 ms older; the last known position
  int HaveFirstFix;
  StillState Still;
};

constexpr DWORD kTurnLimitDeg = 45;
constexpr LONG kLagFloorMs = 100;
constexpr LONG kDefaultIntervalMs = 1000;
constexpr LONG kStaleDataMs = 10000;
constexpr LONG kLostFixMs = 60000;
constexpr LONG kPortLossGraceMs = 2000;

void FrxFix(FixRecord* fix);
// The noise-aware standstill: 1 when `fix` (the receiver slower than MinSpeed) was taken as
// standing and now holds the mean of the standstill's positions with no speed; 0 when the
// device moves (the usual correction goes on). Called with the history locked.
int HonestStandstill(FixRecord* fix);
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
