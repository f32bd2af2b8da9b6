// What the service's parts share: the running flag, the radio watch, publication and maintenance.
#pragma once
#include <atomic>
#include "cell_service/cell_record.h"
#include "platform/platform.h"
#include "platform/ril.h"

// 1 while the radio interface is initialised.
extern std::atomic<LONG> g_Running;
// Set while a maintenance job runs: publication stays out of the database meanwhile.
extern std::atomic<LONG> g_MaintenanceBusy;

// The serving cell as the publication needs it (a copy taken under the radio lock).
struct ServingCell {
  DWORD Mcc, Mnc, Lac, Cid;
  DWORD TimingAdvance;
  int SignalStrength;
};

// Starts (or restarts) and stops the radio watch; `quiet` leaves out the last log line.
void StartRadioWatch(bool quiet);
void StopRadioWatch(bool quiet);
bool RadioHandleHeld();
// A freshly loaded service knows no last cell: the module stays loaded between activations here,
// where the platform would load it afresh.
void ResetRadioState();
// The radio's callbacks (on the radio's thread).
void RadioResult(DWORD code, HRESULT command, const void* data, DWORD size, DWORD param);
void RadioNotify(DWORD code, const void* data, DWORD size, DWORD param);
// 1..10 from the signal and its range, 1 the strongest.
int DistanceRatio(int signal, int minimum, int maximum);

// Reads MaxCells, EnableCells, CurMcc (and the lookup host) into memory.
void ReadCellSettings();
// Works out and publishes the cell's position; false when it was skipped (maintenance busy, no
// database, no registry key), so that the cell is tried again.
bool PublishCell(const ServingCell& cell);
// Both web lookups of the cell (binary, then JSON) with the cell data lock given up for the
// exchange: the caller holds it once and gets it back, but must find its record again (the files
// may have changed meanwhile). `stops`: WebLookupStops() when the caller's work began; a stop
// since then means no lookup. LOOKUP_FOUND with the position in *out.
struct LookupResult;
int LookUpCellUnlocked(const ServingCell& cell, LONG stops, LookupResult* out);
// Writes a known position of the record (position first, its time last); 1 if written.
int WritePosition(const CellRecord* r, HKEY key);
// 64-bit time now (UTC) as a FILETIME.
FILETIME NowFileTime();

#include "cell_service/maintenance.h"
