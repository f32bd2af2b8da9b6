// The cell database: one record file per mobile country code, "\Quorvale\<MCC>.dbc".
#pragma once
#include "cell_service/cell_record.h"
#include "support/cell_flags.h"

// The service's settings from Software\Quorvale\CellTower, kept in memory.
struct CellSettings {
  DWORD MaxCells;     // records per file before trimming
  DWORD EnableCells;  // CELLS_ENABLED | CELLS_WITH_GPS_ONLY | CELLS_INTERNET
  DWORD CurMcc;       // the current (or default) country code; 0 = none
};
extern CellSettings g_Cells;

// Find and store are one unit: publication and maintenance hold this lock around their use of
// the database (and the record files of their jobs).
void LockCellData();
void UnlockCellData();

// Opens the database of `mcc` (repairing it when needed); its file index, or -1.
int UseCellDb(DWORD mcc);
void CloseCellDb();
// The open database's file index (-1 when none).
int CellDbIndex();
// Looks the record's key up: Slot gets the record number, kRecordMissing or kRecordFailed, and a
// found record is read whole.
void FindCell(CellRecord* r);
// Updates the record found by FindCell, or creates it (trimming first at MaxCells). 0 on success.
LONG StoreCell(CellRecord* r);
// Drops the oldest records of the open database when it holds MaxCells or more.
void TrimCellDb();
// "<text>: Cell=.., Lac=.., Mnc=.., rec=.., Lat=.., Lon = .."
void LogCell(const CellRecord* r, const char* text);
// Checks a database file and repairs it in place: a partial last record is dropped, records are
// sorted and duplicates merged (the latest update wins). Returns 1 when repaired, 0 when sound,
// -1 when it could not be read or rewritten (the file stays as it was).
int RepairCellFile(int index);
// "\Quorvale\<mcc>.dbc"
void CellDbPath(DWORD mcc, char* out, size_t size);
