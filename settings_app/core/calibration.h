// The compass calibration: while the user travels straight above the profile's speed, the
// compass reading and the GPS course are averaged for about ten seconds, and their difference
// becomes the offset of the orientation the phone is in. The run is a thread of its own; it
// never touches the settings records: the page takes its result (or restores the kept offsets)
// when the run has ended, on every way out.
#pragma once
#include "platform/types.h"

enum CalibrationState {
  CAL_PAGE_OPENED = 0,
  CAL_WAITING = 1,
  CAL_AVERAGING = 2,
  CAL_COMPLETE = 4,
  CAL_RESTARTED = 5,
  CAL_PAUSED = 6,
  CAL_ENDED_EARLY = 7,
  CAL_FAILED = 8,
};

struct CalibrationView {
  int state;
  double compass;  // the numbers the page shows with the state
  double course;
  int count;
  int running;      // a run is going (the button reads "Abort")
  int finished;     // the run ended and its result has not been taken yet
  int haveOffset;   // the run measured an offset
  int landscape;    // ... for the landscape orientation (else portrait)
  LONG offset;
};

// The state texts of the three progress boxes and their check states (2 = indeterminate).
struct ProgressRow {
  int check[3];
  const char* text[3];
};
const ProgressRow& CalibrationProgress(int state);

// Starts a run: the current profile is saved with zero offsets and the driver told "Calib:".
// `keptVal`/`keptLand` are the offsets to restore. 1 when started.
int StartCalibration(LONG keptVal, LONG keptLand);
// Ends a running run, waits for its thread and restores the kept offsets.
void AbortCalibration();
void ReadCalibrationView(CalibrationView* view);
// The page opened anew: no run's state shows.
void ResetCalibrationView();
// When the run has ended: puts its result (or the kept values) into the profile's offsets,
// logs them, and forgets the run. 1 when a run was finished.
int TakeCalibrationResult();

// The offset in whole degrees, halves away from zero.
LONG RoundOffset(double degrees);
