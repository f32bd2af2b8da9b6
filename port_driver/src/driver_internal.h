// Internal: what the driver's parts call of each other (entry, reader, sources, scan, sensors).
#pragma once
#include <atomic>
#include "platform/platform.h"
#include "port_driver/driver_state.h"
#include "support/fix_record.h"

// Sources (index 0 the platform GPS API, 1..9 COM1..COM9).
HANDLE SourceHandle(int n);
void SetSourceHandle(int n, HANDLE h);
// OpenSerialSource's results.
enum : int { SOURCE_OPENED = 0, SOURCE_OPEN_FAILED = 1 };
int OpenSerialSource(int n);
void CloseSource(int n);
// One reading period: the receiver's interval (SleepTime) and 200 ms for the burst to come in.
DWORD ReadPeriodMs();
// A read's result when it brought no count of bytes: the driver is stopping, or the port failed
// (an error, or silent past its limit).
enum : int { READ_STOPPED = -1, READ_PORT_FAILED = -2 };
// One burst of serial port n: its byte count (0: none), or READ_STOPPED / READ_PORT_FAILED.
int ReadWithWait(int n, FixRecord* fix);
// True when serial port n carried a sentence of a receiver at work since it was opened.
bool SerialSourceAlive(int n);
// As ReadWithWait, once the port has bytes; reads until the burst ends or `deadline` passes.
int DoReadComPort(int n, FixRecord* fix, DWORD deadline);
// Puts the driver's clock on the fix's GPS time and takes the measured-latency sample of `port`.
int GpsClockCheck(FixRecord* fix, int port);
void AbortPortWait(int n);
extern std::atomic<bool> g_ClockSynced;
// Set once a receiver's fix has set the driver's clock; only a new start of the driver clears it.
extern std::atomic<bool> g_ClockSetByReceiver;

// The platform GPS API source.
int OpenApiSource(HANDLE locationEvent);
int ReadApiSource(FixRecord* fix);
void CloseApiSource();
extern HANDLE g_ApiEvent;

// Reader thread and scan.
DWORD ReaderThread(LPVOID);
int RealReadABuffer(LONG n, FixRecord* fix, bool fromScan);
int DoTestValidPorts(LONG* out, LONG current);
int LookForPort();
void SwitchPorts(LONG n);
// Ends a blocked read of whichever tester (the reader or the scan) has port n under test.
void EndPortTest(int n);
// The first open, the last close and the reader's going to sleep happen one at a time.
void LockLifecycle();
void UnlockLifecycle();
// The profile's speed, course and lag corrections for a source, off when its port entry lacks
// the correction flag.
void ApplySourceCorrections(LONG port);
int ProcessOneFix(int n);
bool ScanAllowed();
void StartScanThread();
void StopScanThread();
void CloseAllSources();

// Reader lifecycle (driver entry).
int CreateReader();
void CloseReaderHandles();
void WakeReader();
int StartReader();
void StopReader();

// Sensors and the cell service.
void StartSensorThread();
void StopSensorThread();
// Stops the sensor thread and waits for it without limit (the driver's unload).
void EndSensorThread();
DWORD ReadEnableCells();
void StartCellService();
DWORD CellServiceRunning();
void StopCellService();

