// CSV rows to imported cells: one thread reads and checks rows into chunks, another sorts each
// chunk, keeps the newest row of each cell and writes it in one transaction. At most three
// chunks live at once (being read, waiting, being written).
#include "cell_import.h"
#include <sys/stat.h>
#include <zlib.h>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>
#include "cell_service/cell_record.h"
#include "cell_service/imported_cells.h"
#include "support/c_numbers.h"

namespace {

constexpr size_t kChunkRows = 500000;  // 20 MB of rows
constexpr uint64_t kProgressRows = 100000;

const char* const kRefusalNames[kCellRefusals] = {"bad fields", "unknown radio", "bad MCC/MNC", "area too large",
                                                  "cell id too large", "bad position", "bad update time",
                                                  "line too long"};

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

int32_t Small(const char* text) {
  long long v;
  if (!Whole(text, &v) || v < 0) return 0;
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

// Checks one row; -1 and `cell` filled for a cell, else the refusal.
int ReadRow(char* line, ImportedCell* cell) {
  char* f[14];
  int n = Fields(line, f, 14);
  long long mcc, net, area, id, updated = 0;
  double lon, lat;
  if (n < 8 || !Whole(f[1], &mcc) || !Whole(f[2], &net) || !Whole(f[3], &area) || !Whole(f[4], &id) ||
      !Real(f[6], &lon) || !Real(f[7], &lat))
    return REFUSED_FIELDS;
  int radio = CellRadioOf(f[0]);
  if (radio < 0) return REFUSED_RADIO;
  if (mcc <= 0 || mcc > 999 || net < 0 || net > 999) return REFUSED_NETWORK;
  if (area < 0 || area > static_cast<long long>(kImportedAreaLimit)) return REFUSED_AREA;
  uint64_t limit = radio == CELL_RADIO_NR ? kImportedNrCellLimit : kImportedCellLimit;
  if (id < 0 || static_cast<uint64_t>(id) > limit) return REFUSED_CELL;
  if (std::fabs(lat) > 90 || std::fabs(lon) > 180 || !PositionKnown(lat, lon)) return REFUSED_POSITION;
  if (n >= 13 && ((*f[12] && !Whole(f[12], &updated)) || updated < 0 || updated > kLatestCellUpdate))
    return REFUSED_TIME;
  cell->NetworkArea = ImportedNetworkArea(static_cast<unsigned>(mcc), static_cast<unsigned>(net), static_cast<uint32_t>(area));
  cell->CellRadio = ImportedCellRadio(static_cast<uint64_t>(id), radio);
  cell->LatitudeE7 = static_cast<int32_t>(std::lround(lat * 1e7));
  cell->LongitudeE7 = static_cast<int32_t>(std::lround(lon * 1e7));
  cell->Range = n > 8 ? Small(f[8]) : 0;
  cell->Samples = n > 9 ? Small(f[9]) : 0;
  cell->Updated = updated;
  return -1;
}

bool Inside(const ImportedCell& c, const CellImportOptions& o) {
  if (o.mcc && ImportedMcc(c) != o.mcc) return false;
  if (o.radios && !(o.radios & 1u << ImportedRadio(c))) return false;
  if (!o.bbox) return true;
  double lat = c.LatitudeE7 / 1e7, lon = c.LongitudeE7 / 1e7;
  return lat >= o.minLat && lat <= o.maxLat && lon >= o.minLon && lon <= o.maxLon;
}

// The writer's side: chunks handed over one at a time, sorted, one row per cell, stored.
class ChunkWriter {
 public:
  ChunkWriter() : thread_([this] { Run(); }) {}
  ~ChunkWriter() { Finish(); }
  // Hands a chunk over (waiting while the last one is still waiting); false once writing failed.
  bool Hand(std::vector<ImportedCell>* chunk) {
    std::unique_lock<std::mutex> lock(lock_);
    taken_.wait(lock, [this] { return waiting_.empty() || !error_.empty(); });
    if (!error_.empty()) return false;
    waiting_.swap(*chunk);
    chunk->clear();
    arrived_.notify_one();
    return true;
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      done_ = true;
      arrived_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
  }
  uint64_t Written() const { return written_; }
  const std::string& Error() const { return error_; }

 private:
  void Run() {
    std::vector<ImportedCell> chunk;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(lock_);
        arrived_.wait(lock, [this] { return !waiting_.empty() || done_; });
        if (waiting_.empty()) return;
        chunk.swap(waiting_);
        waiting_.clear();
        taken_.notify_one();
      }
      if (!Write(&chunk)) return;
    }
  }
  bool Write(std::vector<ImportedCell>* chunk) {
    std::stable_sort(chunk->begin(), chunk->end(), ImportedBefore);
    size_t kept = 0;
    for (size_t i = 0; i < chunk->size(); ++i) {
      ImportedCell& c = (*chunk)[i];
      bool same = kept && !ImportedBefore((*chunk)[kept - 1], c);
      if (!same) (*chunk)[kept++] = c;
      else if (c.Updated >= (*chunk)[kept - 1].Updated) (*chunk)[kept - 1] = c;  // the later row of a time wins
    }
    char error[512];
    if (StoreImportedCells(chunk->data(), kept, error, sizeof error) != 0) {
      std::lock_guard<std::mutex> lock(lock_);
      error_ = error;
      taken_.notify_all();
      return false;
    }
    written_ += kept;
    return true;
  }
  std::mutex lock_;
  std::condition_variable arrived_, taken_;
  std::vector<ImportedCell> waiting_;
  bool done_ = false;
  std::string error_;
  std::atomic<uint64_t> written_{0};
  std::thread thread_;
};

}  // namespace

const char* CellRefusalName(int reason) { return reason >= 0 && reason < kCellRefusals ? kRefusalNames[reason] : "?"; }

uint64_t CellImportResult::Refused() const {
  uint64_t n = 0;
  for (uint64_t r : refused) n += r;
  return n;
}

CellImportResult ImportCellCsv(const std::string& path, const CellImportOptions& o,
                               const std::function<void(const CellImportProgress&)>& progress,
                               const std::atomic<bool>* stop) {
  CellImportResult result;
  struct stat st{};
  gzFile in = stat(path.c_str(), &st) == 0 ? gzopen(path.c_str(), "rb") : nullptr;  // reads plain files as they are
  if (!in) {
    result.error = "cannot read " + path;
    return result;
  }
  gzbuffer(in, 1 << 18);
  char error[512];
  if (OpenImportedCells(true, error, sizeof error) != 0) {
    gzclose(in);
    result.error = error;
    return result;
  }
  std::vector<ImportedCell> chunk;
  chunk.reserve(kChunkRows);
  bool failed = false;
  {
    ChunkWriter writer;
    char line[1024];
    bool first = true;
    while (gzgets(in, line, sizeof line)) {
      if (stop && stop->load()) {
        result.interrupted = true;
        break;
      }
      size_t length = strlen(line);
      if (length == sizeof line - 1 && line[length - 1] != '\n') {  // longer than any row: skipped whole
        int c;
        while ((c = gzgetc(in)) != -1 && c != '\n') {
        }
        ++result.rows;
        ++result.refused[REFUSED_LONG];
        continue;
      }
      if (first && strncmp(line, "radio,", 6) == 0) {
        first = false;
        continue;
      }
      first = false;
      if (++result.rows % kProgressRows == 0 && progress)
        progress({result.rows, static_cast<uint64_t>(gzoffset(in)), static_cast<uint64_t>(st.st_size)});
      ImportedCell cell;
      int refusal = ReadRow(line, &cell);
      if (refusal >= 0) {
        ++result.refused[refusal];
        continue;
      }
      if (!Inside(cell, o)) {
        ++result.outside;
        continue;
      }
      ++result.taken;
      chunk.push_back(cell);
      if (chunk.size() == kChunkRows && !writer.Hand(&chunk)) {
        failed = true;
        break;
      }
    }
    if (!failed && !chunk.empty()) writer.Hand(&chunk);
    writer.Finish();
    result.written = writer.Written();
    if (!writer.Error().empty()) result.error = writer.Error() + "; the cells committed before it stay";
  }
  if (stop && stop->load()) result.interrupted = true;
  int status = Z_OK;
  gzerror(in, &status);
  bool broken = !result.interrupted && status != Z_OK && status != Z_STREAM_END;
  gzclose(in);
  if (broken && result.error.empty())
    result.error = path + " is damaged (read stopped after " + std::to_string(result.rows) +
                   " rows); the cells before that are stored";
  if (progress) progress({result.rows, static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_size)});
  NoteImport(path.c_str(), result.rows, result.written, result.Refused(), result.error.empty() && !result.interrupted);
  return result;
}
