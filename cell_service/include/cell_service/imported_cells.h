// The imported cells: a SQLite file "\Quorvale\cells.sqlite" holding a public cell database,
// one row per cell keyed by radio, MCC, MNC, area and the whole cell id (a 5G id's 36 bits
// too). The service looks there after its learned files and before the web; learning never
// trims it. The learned files ("\Quorvale\<MCC>.dbc") stay as they are.
#pragma once
#include <cstddef>
#include <cstdint>
#include "cell_service/cell_record.h"

enum CellRadio { CELL_RADIO_GSM = 0, CELL_RADIO_UMTS = 1, CELL_RADIO_LTE = 2, CELL_RADIO_NR = 3, CELL_RADIO_CDMA = 4 };
constexpr int kCellRadios = 5;
// The radio of a public export's first column ("GSM", "UMTS", "LTE", "NR", "CDMA"); -1 for another.
int CellRadioOf(const char* name);
const char* CellRadioName(int radio);

// One row as the store keeps it: the network and area in one key, the cell and radio in the
// other (cell << 3 | radio), the position in 1e-7 degrees, the update time in seconds since 1970.
struct ImportedCell {
  int64_t NetworkArea;  // (MCC * 1000 + MNC) << 24 | area
  int64_t CellRadio;    // cell << 3 | radio
  int32_t LatitudeE7;
  int32_t LongitudeE7;
  int32_t Range;  // metres
  int32_t Samples;
  int64_t Updated;
};
static_assert(sizeof(ImportedCell) == 40);
static_assert(offsetof(ImportedCell, CellRadio) == 8);
static_assert(offsetof(ImportedCell, LatitudeE7) == 16);
static_assert(offsetof(ImportedCell, LongitudeE7) == 20);
static_assert(offsetof(ImportedCell, Range) == 24);
static_assert(offsetof(ImportedCell, Samples) == 28);
static_assert(offsetof(ImportedCell, Updated) == 32);
// The largest area and cell a key holds (a 5G cell id has 36 bits, every other radio's fits 31).
constexpr uint32_t kImportedAreaLimit = 0xFFFFFF;
constexpr uint64_t kImportedNrCellLimit = 0xFFFFFFFFFULL;
constexpr uint64_t kImportedCellLimit = 0x7FFFFFFF;

inline int64_t ImportedNetworkArea(unsigned mcc, unsigned mnc, uint32_t area) {
  return static_cast<int64_t>(mcc * 1000 + mnc) << 24 | area;
}
inline int64_t ImportedCellRadio(uint64_t cell, int radio) { return static_cast<int64_t>(cell << 3 | static_cast<unsigned>(radio)); }
inline unsigned ImportedMcc(const ImportedCell& c) { return static_cast<unsigned>(c.NetworkArea >> 24) / 1000; }
inline unsigned ImportedMnc(const ImportedCell& c) { return static_cast<unsigned>(c.NetworkArea >> 24) % 1000; }
inline int ImportedRadio(const ImportedCell& c) { return static_cast<int>(c.CellRadio & 7); }
// Key order: the network and area, then the cell and radio.
inline bool ImportedBefore(const ImportedCell& a, const ImportedCell& b) {
  return a.NetworkArea != b.NetworkArea ? a.NetworkArea < b.NetworkArea : a.CellRadio < b.CellRadio;
}
// The cell as the learned files key it (a 5G cell packed as the radio reports it).
void ImportedToRecord(const ImportedCell& c, CellRecord* r);

// The store's Linux path under the data root.
const char* ImportedCellsPath();
// Opens the store: for writing it is made when missing (0 on success, else the reason in
// `error`); for reading a missing store is no error and nothing is found (the next lookup
// looks again). A store being written meanwhile answers what was committed.
int OpenImportedCells(bool forWriting, char* error, size_t errorSize);
void CloseImportedCells();
// Finds a serving cell as the radio reports it (area and cell as the learned files key them):
// a 5G cell by its radio, another by any radio but 5G (the latest update if several). 1 found.
int FindImportedCell(DWORD mcc, DWORD mnc, DWORD lac, DWORD cid, ImportedCell* out);

// Writes `n` rows in key order, one of each key, in one transaction; a stored row stays unless
// this one is newer. 0 on success, else the reason in `error` (nothing of these rows stored).
int StoreImportedCells(const ImportedCell* rows, size_t n, char* error, size_t errorSize);
// Notes a finished (or interrupted) import for `ferrox-cells stats`.
void NoteImport(const char* file, uint64_t rows, uint64_t stored, uint64_t refused, bool complete);

// Calls `each` for every imported cell in key order (a country's cells together); stops and
// returns 0 when it returns false, else 1; -1 when the store cannot be read.
int ForEachImportedCell(bool (*each)(const ImportedCell& c, void* context), void* context);
// What `ferrox-cells stats` prints: counts per country and radio, the file's size, the imports.
int PrintImportedStats(void (*line)(const char* text, void* context), void* context);
