// cell_export: the imported cells at the scale of the world.
//   cell_export generate ROWS FILE.csv.gz KEYS   a synthetic public export, and a sample of its
//                                                cells' keys for the lookups
//   cell_export lookup ROOT KEYS COUNT           COUNT random lookups through the service's
//                                                lookup, their latency percentiles
// The export: 24 countries of unequal size (a few large ones hold most cells, as in the public
// exports), 1-4 networks each, GSM 22 %, UMTS 23 %, LTE 48 %, NR 5 %, CDMA 2 %; areas and cell ids
// in each radio's own ranges (a 5G cell's 36-bit id too); 3 % of the rows repeat a cell with
// another update time, 0.1 % are damaged. Countries follow one another; inside a country the
// rows come in no order.
#include <zlib.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include "cell_service/imported_cells.h"
#include "platform/platform.h"
#include "platform/ril.h"

namespace {

struct Country {
  unsigned mcc;
  double weight;
  double lat, lon;  // the middle of its cells
};
const Country kCountries[] = {
    {310, 20, 39, -98}, {262, 9, 51, 10},  {208, 7, 46.5, 2.5}, {234, 7, 53, -1.5}, {250, 6, 56, 45},
    {460, 6, 33, 112},  {440, 5, 36, 139}, {404, 5, 22, 79},    {724, 4, -15, -50}, {222, 4, 42.5, 12.5},
    {214, 4, 40, -4},   {302, 3, 49, -90}, {505, 2, -30, 145},  {260, 2, 52, 19},   {204, 2, 52.2, 5.3},
    {228, 1, 46.8, 8.2}, {232, 1, 47.5, 14.5}, {240, 1, 60, 16}, {242, 1, 61, 9},   {244, 1, 63, 26},
    {268, 1, 39.5, -8}, {202, 1, 39, 22},  {226, 1, 46, 25},    {655, 1, -29, 25}};
const char* const kRadios[] = {"GSM", "UMTS", "LTE", "NR", "CDMA"};
const double kRadioShare[] = {0.22, 0.23, 0.48, 0.05, 0.02};

struct Row {
  int radio;
  unsigned mnc;
  unsigned long long area, cell;
  double lat, lon;
};

Row MakeRow(std::mt19937_64& random, const Country& c) {
  std::uniform_real_distribution<double> u(0, 1);
  double pick = u(random);
  int radio = 0;
  for (double sum = kRadioShare[0]; pick > sum && radio < 4;) sum += kRadioShare[++radio];
  Row r;
  r.radio = radio;
  r.mnc = 1 + static_cast<unsigned>(random() % 4) * (radio == 4 ? 100 : 1);
  switch (radio) {
    case 0: r.area = 1 + random() % 65534; r.cell = 1 + random() % 65534; break;
    case 1: r.area = 1 + random() % 65534; r.cell = 1 + random() % 0xFFFFFFF; break;
    case 2: r.area = 1 + random() % 65534; r.cell = 1 + random() % 0xFFFFFFF; break;
    case 3: r.area = 1 + random() % 0xFFFFFF; r.cell = 1 + random() % 0xFFFFFFFFFULL; break;
    default: r.area = random() % 65535; r.cell = random() % 65535; break;
  }
  std::normal_distribution<double> spread(0, 3);
  r.lat = std::clamp(c.lat + spread(random), -89.9, 89.9);
  r.lon = std::clamp(c.lon + spread(random), -179.9, 179.9);
  return r;
}

int Generate(unsigned long long rows, const char* path, const char* keysPath) {
  gzFile out = gzopen(path, "wb1");
  if (!out) {
    fprintf(stderr, "cell_export: cannot write %s\n", path);
    return 1;
  }
  gzbuffer(out, 1 << 20);
  std::ofstream keys(keysPath);
  gzputs(out, "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n");
  std::mt19937_64 random(2026);
  double total = 0;
  for (const Country& c : kCountries) total += c.weight;
  unsigned long long written = 0;
  char line[256];
  std::vector<Row> recent;
  for (const Country& c : kCountries) {
    unsigned long long share = static_cast<unsigned long long>(rows * (c.weight / total));
    if (&c == &kCountries[std::size(kCountries) - 1]) share = rows - written;
    recent.clear();
    for (unsigned long long i = 0; i < share; ++i, ++written) {
      if (written % 1000 == 999) {
        gzputs(out, "LTE,262,1,x,1,,1,1,1,1,1,1,1,0\n");  // a damaged row
        continue;
      }
      Row r;
      bool again = !recent.empty() && random() % 100 < 3;
      if (again) r = recent[random() % recent.size()];  // a cell listed again, measured at another time
      else r = MakeRow(random, c);
      if (!again && recent.size() < 4096) recent.push_back(r);
      else if (!again) recent[random() % recent.size()] = r;
      long long updated = 1400000000 + static_cast<long long>(random() % 380000000);
      int n = snprintf(line, sizeof line, "%s,%u,%u,%llu,%llu,,%.6f,%.6f,%u,%u,1,1300000000,%lld,0\n", kRadios[r.radio],
                       c.mcc, r.mnc, r.area, r.cell, r.lon, r.lat, 100 + static_cast<unsigned>(random() % 20000),
                       1 + static_cast<unsigned>(random() % 300), updated);
      gzwrite(out, line, static_cast<unsigned>(n));
      if (random() % (rows / 100000 + 1) == 0)
        keys << c.mcc << ' ' << r.mnc << ' ' << r.area << ' ' << r.cell << ' ' << r.radio << '\n';
    }
  }
  gzclose(out);
  return 0;
}

int Lookup(const char* root, const char* keysPath, int count) {
  PlatformSetRoot(root);
  std::ifstream keys(keysPath);
  struct Key {
    unsigned mcc, mnc;
    unsigned long long area, cell;
    int radio;
  };
  std::vector<Key> all;
  Key k;
  while (keys >> k.mcc >> k.mnc >> k.area >> k.cell >> k.radio) all.push_back(k);
  if (all.empty()) {
    fprintf(stderr, "cell_export: no keys in %s\n", keysPath);
    return 1;
  }
  std::mt19937_64 random(7);
  std::vector<double> us;
  us.reserve(count);
  int found = 0, missesAsked = 0, missesFound = 0;
  for (int i = 0; i < count; ++i) {
    Key q = all[random() % all.size()];
    bool miss = i % 10 == 9;  // one in ten asks for a cell no export holds
    if (miss) q.cell ^= 0x5A5A5;
    DWORD lac = static_cast<DWORD>(q.area), cid = static_cast<DWORD>(q.cell);
    if (q.radio == CELL_RADIO_NR) PackNrCell(static_cast<DWORD>(q.area), q.cell, &lac, &cid);
    ImportedCell c;
    auto t0 = std::chrono::steady_clock::now();
    int hit = FindImportedCell(q.mcc, q.mnc, lac, cid, &c);
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (miss) {
      ++missesAsked;
      missesFound += hit;
    } else {
      found += hit;
    }
  }
  std::sort(us.begin(), us.end());
  printf("lookups %d: %d of %d stored cells found, %d of %d absent ones; p50 %.1f us, p99 %.1f us, max %.1f us\n", count,
         found, count - missesAsked, missesFound, missesAsked, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
  return found == count - missesAsked ? 0 : 1;
}

}  // namespace

const char kUsage[] =
    "Usage: cell_export generate ROWS FILE.csv.gz KEYS\n"
    "       cell_export lookup ROOT KEYS COUNT\n"
    "generate: a synthetic public cell export of ROWS rows (24 countries of unequal size, GSM, UMTS,\n"
    "LTE, 5G and CDMA cells in their own id ranges, 3 % of the rows a cell listed again, 0.1 %\n"
    "damaged), gzip-compressed, and a sample of about 100 000 of its cells' keys in KEYS.\n"
    "lookup: COUNT random lookups of those keys (one in ten changed into an absent cell) through the\n"
    "cell service's lookup of the imported cells of data root ROOT; the latency percentiles.\n";

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 5 && strcmp(argv[1], "generate") == 0) return Generate(strtoull(argv[2], nullptr, 10), argv[3], argv[4]);
  if (argc == 5 && strcmp(argv[1], "lookup") == 0) return Lookup(argv[2], argv[3], atoi(argv[4]));
  fputs(kUsage, stderr);
  return 2;
}
