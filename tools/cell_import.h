// Import of a public cell database CSV ("radio,mcc,net,area,cell,unit,lon,lat,range,samples,
// changeable,created,updated,averageSignal"), plain or gzip-compressed, into the imported cells'
// store, streamed: memory stays bounded whatever the file's size.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct CellImportOptions {
  unsigned mcc = 0;     // only this country code (0: all)
  unsigned radios = 0;  // only these radios (bit 1 << CellRadio; 0: all)
  bool bbox = false;
  double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
};

// Why a row is not a cell.
enum CellRefusal {
  REFUSED_FIELDS,    // too few fields, or one that is not a number
  REFUSED_RADIO,     // a radio other than GSM, UMTS, LTE, NR, CDMA
  REFUSED_NETWORK,   // MCC not 1..999 or MNC not 0..999
  REFUSED_AREA,      // area beyond 24 bits
  REFUSED_CELL,      // cell id beyond the radio's bits (36 for NR, 31 for the others)
  REFUSED_POSITION,  // off the globe, not finite, or 0,0
  REFUSED_TIME,      // an update time before 1970 or after 2100
  REFUSED_LONG,      // a line longer than any row of the layout
  kCellRefusals
};
const char* CellRefusalName(int reason);

struct CellImportProgress {
  uint64_t rows;       // data rows read
  uint64_t fileBytes;  // of the file (compressed for .gz) read so far
  uint64_t fileSize;
};

struct CellImportResult {
  uint64_t rows = 0;       // data rows read
  uint64_t taken = 0;      // sound rows inside the filters
  uint64_t outside = 0;    // sound rows outside the filters
  uint64_t refused[kCellRefusals] = {};
  uint64_t written = 0;    // cells written (a key once per chunk; a stored newer row stays)
  bool interrupted = false;
  std::string error;       // why the import failed ("" when it did not)
  uint64_t Refused() const;
};

// Reads `path` into the store. `progress` is called now and then; `stop` set ends the import
// after committing what was read (the rest can be imported again).
CellImportResult ImportCellCsv(const std::string& path, const CellImportOptions& options,
                               const std::function<void(const CellImportProgress&)>& progress,
                               const std::atomic<bool>* stop);
