// Fuzzing the cell files: bytes as a cell database file and as an old per-LAC file; opening
// repairs the database, finds and stores work on it, and the update imports the old file. The
// database must end sorted and unique with whole records.
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include "cell_service/cell_db.h"
#include "cell_service/maintenance.h"
#include "cell_service/record_file.h"
#include "platform/platform.h"

static std::string Root() {
  static std::string root;
  if (root.empty()) {
    char pattern[] = "/tmp/ferrox-fuzz-cells-XXXXXX";
    root = mkdtemp(pattern);
    PlatformSetRoot(root);
    CreateDirectoryW(u"\\Quorvale", nullptr);
  }
  return root;
}

static void Write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string root = Root();
  size_t half = size / 2;
  Write(root + "/Quorvale/262.dbc", data, half);
  Write(root + "/Quorvale/262-1-4711.cdb", data + half, size - half);
  g_Cells = {size % 7 ? 500u : 0u, 1, 0};
  if (UseCellDb(262) < 0) abort();
  CellRecord r{};
  if (size >= 12) memcpy(&r.Mnc, data, 12);
  FindCell(&r);
  r.Latitude = 1;
  StoreCell(&r);
  UpdateCellDatabase();  // no lookup host: the import alone
  int index = UseCellDb(262);
  DWORD n = RecCount(index, sizeof(CellRecord));
  if (RecSize(index) % sizeof(CellRecord)) abort();
  CellRecord a{}, b{};
  for (DWORD i = 0; i + 1 < n; ++i) {
    if (RecRead(index, &a, sizeof a, i) || RecRead(index, &b, sizeof b, i + 1)) abort();
    if (CompareCells(&a, &b) >= 0) abort();
  }
  CloseCellDb();
  return 0;
}
