// The correction stage: FrxFix on every input fix, BuildOutputFix on every channel read, and the
// fix history they share (serialised by one lock; records are copied in and out under it).
#pragma once
#include "support/fix_record.h"

constexpr int kStillPositions = 30;

// The standstill of the noise-aware mode (profile value HonestStill): the mean of the receiver's
// positions since the device stopped, which is reported, the latest of them for their scatter,
// and the votes for leaving it.
struct StillState {
  double latitude[kStillPositions];
  double longitude[kStillPositions];
  double sumLatitude, sumLongitude;  // of every position since the stop
  long total;                        // positions since the stop
  int count;        // positions held (at most kStillPositions, the oldest replaced)
  int next;         // where the next one goes
  int votes;        // consecutive fixes beyond the noise
  double bearing;   // of the first of them, degrees
  double pendingLatitude, pendingLongitude;  // the first of them, counted if no second follows
};

// The receiver's reporting latency as the measured-latency mode (profile value AutoLag) sees it:
// how far a clock no receiver sets is ahead of the driver's clock when a burst arrives, smoothed.
struct MeasuredLag {
  LONG advanceMs;    // smoothed; what a read adds to the age of the fix
  int samples;       // bursts measured since the source began (the advance is used from kLagSamplesUsed)
  int port;          // the source they came from
  int unmeasurable;  // 1 once the log has said that nothing can be measured
};

// The smoothed track of the profile value Smooth: the last smoothed position and the receiver's
// own velocity with it.
struct SmoothState {
  double latitude, longitude;
  float speed, heading;  // km/h, degrees
  int valid;
};

struct FixHistory {
  FixRecord PrevFix;      // the latest accepted fix (also the latest unfixed data)
  FixRecord LastGoodFix;  // the accepted fix before it, at least 100 ms older; the last known position
  int HaveFirstFix;
  StillState Still;
  MeasuredLag Lag;
  SmoothState Smooth;
};

constexpr DWORD kTurnLimitDeg = 45;
constexpr LONG kLagFloorMs = 100;
constexpr LONG kDefaultIntervalMs = 1000;
constexpr LONG kStaleDataMs = 10000;
constexpr LONG kLostFixMs = 60000;
constexpr LONG kPortLossGraceMs = 2000;
constexpr LONG kMaxMeasuredLagMs = 5000;  // a larger difference is a clock that is not the receiver's time
constexpr int kLagSamplesUsed = 3;
constexpr int kLagSmoothing = 8;  // each burst moves the estimate by 1/8 of its difference

void FrxFix(FixRecord* fix);
// The noise-aware standstill: 1 when `fix` (the receiver slower than MinSpeed) was taken as
// standing and now holds the mean of the standstill's positions with no speed; 0 when the
// device moves (the usual correction goes on). Called with the history locked.
int HonestStandstill(FixRecord* fix);
// The smoothed track (profile value Smooth): a moving fix with the receiver's own speed and
// course becomes the last smoothed position carried along that velocity, moved part of the way
// to the fix. Returns 1 when the fix was smoothed. Called with the history locked.
int SmoothTrack(FixRecord* fix, LONG dms);
// The measured-latency mode's sample of one burst from `port` whose fix time is `fixTime`:
// `reference` is the time of a clock no receiver sets at the burst's arrival (null: there is none),
// `logClockAheadMs` how far the driver's clock was ahead of the fix time then. Returns 1 when the
// sample was taken.
int MeasureReceiverLatency(int port, const SYSTEMTIME* fixTime, const SYSTEMTIME* reference, LONG logClockAheadMs);
// What a read adds to the fix's age while moving: the measured latency once known in that mode,
// else LagAdvance. Called with the history locked.
LONG LagAdvanceMs();
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
