// CSV rows to cell records, grouped by country code, merged with each database file in one rewrite.
#include "cell_import.h"
#include <zlib.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>
#include "cell_service/cell_db.h"
#include "cell_service/record_file.h"
#include "platform/ril.h"
#include "support/c_numbers.h"

namespace {

// Splits a CSV line (no quoted commas in this layout) into at most `n` fields.
int Fields(char* line, char** fields, int n) {
  int count = 0;
  char* p = line;
  while (count < n) {
    fields[count++] = p;
    char* comma = strchr(p, ',');
    if (!comma) break;
    *comma = 0;
    p = comma + 1;
  }
  for (char* e = fields[count - 1]; *e; ++e)
    if (*e == '\r' || *e == '\n') *e = 0;
  return count;
}

bool Whole(const char* text, long long* out) {
  char* end = nullptr;
  *out = strtoll(text, &end, 10);
  return end != text && *end == 0;
}

bool Real(const char* text, double* out) {
  char* end = nullptr;
  *out = ParseCDouble(text, &end);
  return end != text && *end == 0 && std::isfinite(*out);
}

bool Before(const CellRecord& a, const CellRecord& b) { return CompareCells(&a, &b) < 0; }

// Which of two records of one cell stays: a known position beats none, then the later update.
const CellRecord& Better(const CellRecord& a, const CellRecord& b) {
  if (CellHasPosition(a) != CellHasPosition(b)) return CellHasPosition(a) ? a : b;
  return FileTimeToU64(a.Updated) >= FileTimeToU64(b.Updated) ? a : b;
}

}  // namespace

CellImportResult ImportCellCsv(const std::string& path, const CellImportOptions& o,
                               const std::function<void(uint64_t)>& progress) {
  CellImportResult result;
  gzFile in = gzopen(path.c_str(), "rb");  // reads plain files as they are
  if (!in) {
    result.error = "cannot read " + path;
    return result;
  }
  std::map<unsigned, std::vector<CellRecord>> byMcc;
  char line[1024];
  bool first = true;
  while (gzgets(in, line, sizeof line)) {
    size_t length = strlen(line);
    if (length == sizeof line - 1 && line[length - 1] != '\n') {  // longer than any row: skipped whole
      int c;
      while ((c = gzgetc(in)) != -1 && c != '\n') {
      }
      ++result.rejected;
      continue;
    }
    if (first && strncmp(line, "radio,", 6) == 0) {
      first = false;
      continue;
    }
    first = false;
    if (++result.rows % 100000 == 0 && progress) progress(result.rows);
    char* f[14];
    int n = Fields(line, f, 14);
    long long mcc, net, area, cell, updated = 0;
    double lon, lat;
    // 5G rows: a 24-bit tracking area and a 36-bit cell id, packed as the radio reports them.
    bool nr = strcmp(f[0], "NR") == 0;
    long long areaLimit = nr ? 0xFFFFFF : kNrAreaMark - 1, cellLimit = nr ? 0xFFFFFFFFFLL : 0x7FFFFFFF;
    if (n < 9 || !Whole(f[1], &mcc) || !Whole(f[2], &net) || !Whole(f[3], &area) || !Whole(f[4], &cell) ||
        !Real(f[6], &lon) || !Real(f[7], &lat) || mcc <= 0 || mcc > 999 || net < 0 || area < 0 || cell < 0 ||
        area > areaLimit || cell > cellLimit || net > 0x7FFFFFFF || std::fabs(lat) > 90 || std::fabs(lon) > 180) {
      ++result.rejected;
      continue;
    }
    if (nr) {
      DWORD packedArea, packedCell;
      PackNrCell(static_cast<DWORD>(area), static_cast<unsigned long long>(cell), &packedArea, &packedCell);
      area = packedArea;
      cell = static_cast<LONG>(packedCell);
    }
    if (o.mcc && static_cast<unsigned>(mcc) != o.mcc) continue;
    if (o.bbox && (lat < o.minLat || lat > o.maxLat || lon < o.minLon || lon > o.maxLon)) continue;
    // An update time beyond what a file time holds came out as year 0 in the tower map.
    if (n >= 13 && ((*f[12] && !Whole(f[12], &updated)) || updated < 0 || updated > kLatestCellUpdate)) {
      ++result.rejected;
      continue;
    }
    CellRecord r{};
    r.Mnc = static_cast<LONG>(net);
    r.Lac = static_cast<LONG>(area);
    r.Cid = static_cast<LONG>(cell);
    r.Latitude = lat;
    r.Longitude = lon;
    r.Updated = U64ToFileTime(updated > 0 ? static_cast<ULONGLONG>(updated) * kFileTimePerSecond + kFileTimeUnixEpoch : 0);
    if (!CellHasPosition(r)) {
      ++result.rejected;
      continue;
    }
    r.Reserved = kCellImported;
    byMcc[static_cast<unsigned>(mcc)].push_back(r);
    ++result.taken;
  }
  int status = Z_OK;
  gzerror(in, &status);
  bool broken = status != Z_OK && status != Z_STREAM_END;
  gzclose(in);
  if (broken) {
    result.error = path + " is damaged (read stopped after " + std::to_string(result.rows) + " rows); nothing stored";
    return result;
  }
  for (auto& [mcc, rows] : byMcc) {
    char file[64];
    CellDbPath(mcc, file, sizeof file);
    int index = RecOpen(file, kRecordModeReadWrite);
    if (index < 0) {
      result.error = std::string("cannot open ") + file;
      return result;
    }
    if (RepairCellFile(index) < 0) {
      RecClose(index);
      result.error = std::string("cannot repair ") + file + " before the import; nothing stored in it";
      return result;
    }
    DWORD stored = RecCount(index, sizeof(CellRecord));
    std::vector<CellRecord> all(stored);
    if (stored && RecReadBlock(index, 0, all.data(), stored * sizeof(CellRecord), nullptr) != 0) {
      RecClose(index);
      result.error = std::string("cannot read ") + file;
      return result;
    }
    all.insert(all.end(), rows.begin(), rows.end());
    std::stable_sort(all.begin(), all.end(), Before);
    std::vector<CellRecord> merged;
    for (const CellRecord& r : all) {
      if (!merged.empty() && CompareCells(&merged.back(), &r) == 0) {
        // One of the two came with the import: the cell stays an imported one.
        WORD origin = merged.back().Reserved == kCellImported || r.Reserved == kCellImported ? kCellImported : 0;
        merged.back() = Better(merged.back(), r);
        merged.back().Reserved = origin;
      } else {
        merged.push_back(r);
      }
    }
    if (merged.size() > kRecordFileLimit) {
      result.error = std::string(file) + " would hold " + std::to_string(merged.size()) + " cells, more than " +
                     std::to_string(kRecordFileLimit) + ": narrow the import with --bbox";
      RecClose(index);
      return result;
    }
    for (CellRecord& r : merged) r.Slot = 0;
    LONG err = RecReplace(index, merged.data(), static_cast<DWORD>(merged.size()), sizeof(CellRecord));
    RecClose(index);
    if (err) {
      result.error = std::string("cannot write ") + file;
      return result;
    }
    ++result.files;
    result.stored += merged.size();
  }
  return result;
}
