// Import of a public cell database CSV ("radio,mcc,net,area,cell,unit,lon,lat,range,samples,
// changeable,created,updated,..."), plain or gzip-compressed, into the cell database files.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct CellImportOptions {
  unsigned mcc = 0;  // only this country code (0: all)
  bool bbox = false;
  double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
};

struct CellImportResult {
  uint64_t rows = 0;      // data rows read
  uint64_t taken = 0;     // rows inside the filters with a sound position
  uint64_t rejected = 0;  // rows that are not a cell (bad numbers, out of range)
  uint64_t stored = 0;    // cells in the files afterwards, over all files written
  unsigned files = 0;     // database files written
  std::string error;      // why the import failed ("" when it did not)
};

// Reads `path` and merges its cells into "\Quorvale\<MCC>.dbc" (a cell already stored keeps its
// position unless the row is newer). `progress` gets the rows read so far now and then.
CellImportResult ImportCellCsv(const std::string& path, const CellImportOptions& options,
                               const std::function<void(uint64_t)>& progress);
