// The background reader of the settings program: it holds the driver's port open, reads whole
// fix records (a 344-byte read gives the raw record), and keeps the decoded status that the main
// window paints and the compass calibration takes its readings from. When the driver is not
// there, or a read fails, it tries again every second until it is stopped.
#pragma once
#include "status_text.h"

struct StatusSnapshot {
  StatusLines status;
  FixRecord record;
  int haveRecord;
  int portOpen;     // the driver's port is open now
  DWORD records;    // records read since the reader started
  WCHAR port[8];    // the port the reader uses ("COM8:")
};

// Starts the reader thread on the driver's own port (the settings store's OwnIndex). 1 when started.
int StartStatusReader();
// Stops it: waits up to 2 x SleepTime, then logs `forcedLine` and ends its read by closing the
// port. 1 when it ended in time.
int StopStatusReader(const char* forcedLine = "Read Thread Forced Closed");
int StatusReaderRunning();
void ReadStatusSnapshot(StatusSnapshot* out);
// Called on the reader thread after every record and every change of the port's state.
void SetStatusListener(void (*listener)(void* context), void* context);

// The calibration's readings: an event set after every decoded record, and the pair of the
// latest record with a compass reading and a GPS course, taken once.
void SetReadingEvent(HANDLE event);
// 1 and the pair when a record with both came since the last take; the pair is then cleared.
int TakeCalibrationReading(double* compass, double* course, BYTE* orientation);
// The latest readings without taking them (-1.0 when absent), for the page's display.
void PeekCalibrationReading(double* compass, double* course, BYTE* orientation);
void ClearCalibrationReading();

// The program follows a profile switch the driver made: a record's profile 1 or 2 becomes the
// current one (any other number is not a profile) and its values are loaded; while a page is open
// nothing changes (the next record after it closes brings the switch). Called on the window's
// thread; 1 when it changed.
int AdoptDriverProfile(const StatusSnapshot& snapshot, bool pageOpen);

// For tests: decode a record as the reader does.
void AcceptStatusRecord(const FixRecord& record);
