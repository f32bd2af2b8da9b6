// ferrox-geoid-table: builds AltitudeTable_1.RAW (181 x 361 signed bytes, whole metres, row 0 =
// latitude -90, column 0 = longitude -180, geoid above the ellipsoid) from a GTX geoid grid.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <getopt.h>
#include <sys/stat.h>
#include "platform/files.h"
#include "support/program_options.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-geoid-table [--input GRID.gtx] [--output TABLE.RAW | --root DIR]\n"
    "Builds the driver's geoid table from a GTX geoid grid (default: the EGM96 15-minute grid of\n"
    "Debian's proj-data, /usr/share/proj/egm96_15.gtx) into TABLE.RAW (default: where the driver\n"
    "reads it, ROOT/Windows/AltitudeTable_1.RAW of the data root): 181 rows (latitude -90 to 90)\n"
    "of 361 columns (longitude -180 to 180, both ends present), each the separation at that whole\n"
    "degree rounded to whole metres. The output is the same bytes on every run.\n"
    "  --root DIR   data root (default: $FERROX_ROOT, else $XDG_DATA_HOME/ferrox,\n"
    "               else ~/.local/share/ferrox)\n"
    "  --version    print the version\n"
    "  --help       this text\n";

double BigEndianDouble(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  double d;
  memcpy(&d, &v, 8);
  return d;
}

int32_t BigEndianInt(const unsigned char* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

float BigEndianFloat(const unsigned char* p) {
  uint32_t v = static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  float f;
  memcpy(&f, &v, 4);
  return f;
}

int Fail(const char* what, const char* path) {
  fprintf(stderr, "ferrox-geoid-table: %s: %s\n", what, path);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* input = "/usr/share/proj/egm96_15.gtx";
  const char* output = nullptr;
  auto path = [](const char** out) {
    return [out](const char* value) {
      *out = value;
      return 0;
    };
  };
  int done = ReadProgramOptions(argc, argv, "ferrox-geoid-table", kUsage,
                                {{"input", true, path(&input)}, {"output", true, path(&output)}}, OPTIONS_WITH_ROOT);
  if (done >= 0) return done;
  if (optind < argc) {
    fprintf(stderr, "ferrox-geoid-table: unknown argument %s (see --help)\n", argv[optind]);
    return 1;
  }
  std::string inRoot = PlatformRoot() + "/Windows/AltitudeTable_1.RAW";
  if (!output) {
    if (RefuseMissingRoot("ferrox-geoid-table")) return 1;
    mkdir((PlatformRoot() + "/Windows").c_str(), 0700);  // where the driver looks for it; private as the root
    output = inRoot.c_str();
  }
  FILE* in = fopen(input, "rb");
  if (!in) return Fail("cannot read the grid", input);
  std::vector<unsigned char> grid;
  unsigned char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) grid.insert(grid.end(), chunk, chunk + n);
  fclose(in);
  if (grid.size() < 40) return Fail("not a GTX grid (too short)", input);
  double lat0 = BigEndianDouble(&grid[0]), lon0 = BigEndianDouble(&grid[8]);
  double dlat = BigEndianDouble(&grid[16]), dlon = BigEndianDouble(&grid[24]);
  int32_t rows = BigEndianInt(&grid[32]), cols = BigEndianInt(&grid[36]);
  if (rows <= 0 || cols <= 0 || !(dlat > 0) || !(dlon > 0) ||
      grid.size() != 40 + static_cast<size_t>(rows) * static_cast<size_t>(cols) * 4)
    return Fail("not a GTX grid (header and size disagree)", input);
  if (lon0 > 0) lon0 -= 360;  // grids from 0 to 360 east
  fprintf(stderr, "grid %d x %d from %.2f, %.2f in steps of %.4f, %.4f degrees\n", rows, cols, lat0, lon0, dlat, dlon);
  std::vector<signed char> table(181 * 361);
  for (int r = 0; r <= 180; ++r) {
    double lat = -90 + r;
    double fr = (lat - lat0) / dlat;
    long gr = std::lround(fr);
    if (std::fabs(fr - gr) > 1e-9 || gr < 0 || gr >= rows) return Fail("grid does not cover every whole degree", input);
    for (int c = 0; c <= 360; ++c) {
      double fc = (-180 + c - lon0) / dlon;
      long gc = std::lround(fc);
      if (std::fabs(fc - gc) > 1e-9) return Fail("grid does not cover every whole degree", input);
      gc = ((gc % cols) + cols) % cols;  // longitude 180 is -180 again
      float value = BigEndianFloat(&grid[40 + (static_cast<size_t>(gr) * cols + gc) * 4]);
      if (!std::isfinite(value) || value < -127.5f || value > 127.5f) return Fail("separation out of range", input);
      table[static_cast<size_t>(r) * 361 + c] = static_cast<signed char>(std::lround(value));
    }
  }
  std::string tmp = std::string(output) + ".tmp";
  if (output == inRoot) umask(077);  // the data root's files are the user's alone
  FILE* out = fopen(tmp.c_str(), "wb");
  if (!out) return Fail("cannot write", output);
  bool ok = fwrite(table.data(), 1, table.size(), out) == table.size();
  ok = fclose(out) == 0 && ok;
  if (!ok || rename(tmp.c_str(), output) != 0) {
    remove(tmp.c_str());
    return Fail("cannot write", output);
  }
  fprintf(stderr, "wrote %zu bytes to %s\n", table.size(), output);
  return 0;
}
