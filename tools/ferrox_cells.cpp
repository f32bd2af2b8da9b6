// ferrox-cells: the cell database files of a data root: list, find, verify, repair, export, import.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include "platform/ril.h"
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <ctime>
#include <vector>
#include "cell_import.h"
#include "cell_service/cell_db.h"
#include "cell_service/imported_cells.h"
#include "cell_service/maintenance.h"
#include "cell_service/record_file.h"
#include <getopt.h>
#include "platform/platform.h"
#include "support/program_options.h"
#include "platform/service_ioctl.h"
#include "support/c_numbers.h"
#include "support/reg_helpers.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-cells [--root DIR] COMMAND ...\n"
    "The cell positions of a Ferrox data root, from which the cell service finds a position\n"
    "without the network: the cells it learned, one file per country code (MCC),\n"
    "\\Quorvale\\<MCC>.dbc, and the imported cells of a public database, \\Quorvale\\cells.sqlite.\n"
    "\n"
    "Commands:\n"
    "  list [MCC]                 the learned files and their cell counts, or the cells of MCC\n"
    "                             (MNC LAC CID latitude longitude updated)\n"
    "  find MCC MNC AREA CELL [RADIO]\n"
    "                             one cell, in the learned file and the imported cells, saying\n"
    "                             which answered; AREA and CELL as the radio reports them, or\n"
    "                             with RADIO NR a 5G cell's TAC and 36-bit NCI\n"
    "  stats                      the imported cells per country and radio, the store's size and\n"
    "                             the last import\n"
    "  verify MCC                 check a learned file: whole records, sorted, no duplicates\n"
    "                             (exit 1 if not)\n"
    "  repair MCC                 sort, merge duplicates and drop a partial last record\n"
    "  export [--imported]        write \\Quorvale\\<MCC>.gpx of the learned cells with a position;\n"
    "                             with --imported also \\Quorvale\\<MCC>-imported.gpx of the\n"
    "                             imported cells (a public export makes a very large map)\n"
    "  import FILE [--mcc N] [--radio R,...] [--bbox MINLAT,MINLON,MAXLAT,MAXLON]\n"
    "                             a public cell database CSV (radio,mcc,net,area,cell,unit,lon,\n"
    "                             lat,range,samples,changeable,created,updated,averageSignal),\n"
    "                             plain or .gz, into the imported cells: a stored cell stays\n"
    "                             unless the row is newer. Streamed, so any size imports (a\n"
    "                             progress bar on a terminal); Ctrl-C keeps what was committed\n"
    "                             and the file can be imported again. Refused rows are counted\n"
    "                             by reason. Learning never trims imported cells.\n"
    "Options:\n"
    "  --root DIR   data root (default: $FERROX_ROOT, else $XDG_DATA_HOME/ferrox,\n"
    "               else ~/.local/share/ferrox)\n"
    "  --version    print the version\n"
    "  --help       this text\n"
    "Exit status: 0 on success, 1 with a one-line message on stderr otherwise.\n";

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-cells: %s\n", message.c_str());
  return 1;
}

// The cell service keeps a database file open while it runs, and a job of it (a database update)
// may hold one while it reports no radio: whenever the service is loaded it is stopped (which
// closes its files and ends its lookups) while the files are rewritten here, and started again
// afterwards only if it was running.
struct ServicePause {
  bool restart = false;
  ServicePause() {
    DWORD running = 0, got = 0;
    if (!Send(IOCTL_SERVICE_STATUS, &running, &got) || got != 4) return;  // not loaded: no file is open
    if (!Send(IOCTL_SERVICE_STOP, nullptr, nullptr)) return;
    restart = running != 0;
    if (restart) fprintf(stderr, "ferrox-cells: the cell service is stopped while the files are written\n");
  }
  ~ServicePause() {
    if (restart && Send(IOCTL_SERVICE_START, nullptr, nullptr))
      fprintf(stderr, "ferrox-cells: the cell service is started again\n");
  }
  static bool Send(DWORD code, DWORD* out, DWORD* got) {
    HANDLE h = CreateFileW(u"TWK1:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h) return false;
    BOOL ok = DeviceIoControl(h, code, nullptr, 0, out, out ? 4 : 0, got, nullptr);
    CloseHandle(h);
    return ok;
  }
};

bool Number(const char* text, long* out) {
  char* end = nullptr;
  *out = strtol(text, &end, 10);
  return end != text && *end == 0;
}

// Opens the file of an MCC that exists (never creating one).
int OpenExisting(long mcc, std::string* error) {
  char path[64];
  CellDbPath(static_cast<DWORD>(mcc), path, sizeof path);
  std::u16string wide = Utf8ToWide(path);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *error = std::string("no cell file ") + path;
    return -1;
  }
  int index = RecOpen(path, kRecordModeReadWrite);
  if (index < 0) *error = std::string("cannot open ") + path;
  return index;
}

std::vector<CellRecord> All(int index) {
  DWORD n = RecCount(index, sizeof(CellRecord));
  std::vector<CellRecord> all(n);
  if (n) RecReadBlock(index, 0, all.data(), n * sizeof(CellRecord), nullptr);
  return all;
}

// "MNC AREA CELL latitude longitude updated", without the line's end.
void PrintCellFields(long long mnc, long long area, long long cell, double latitude, double longitude,
                     const FILETIME& updated) {
  char lat[32], lon[32];
  FormatCNumber(lat, sizeof lat, "%.6f", latitude);
  FormatCNumber(lon, sizeof lon, "%.6f", longitude);
  SYSTEMTIME t{};
  FileTimeToSystemTime(&updated, &t);
  printf("%lld %lld %lld %s %s %04d-%02d-%02dT%02d:%02d:%02dZ", mnc, area, cell, lat, lon, t.wYear, t.wMonth, t.wDay,
         t.wHour, t.wMinute, t.wSecond);
}

void PrintCell(const CellRecord& r) {
  PrintCellFields(r.Mnc, r.Lac, r.Cid, r.Latitude, r.Longitude, r.Updated);
  putchar('\n');
}

int List(int argc, char** argv) {
  if (argc == 0) {
    FileNode* list = RecList("\\Quorvale\\*.dbc");
    if (!list)
      printf("no cell files in %s/Quorvale (the service learns cells from GPS fixes; import adds a database)\n",
             PlatformRoot().c_str());
    for (FileNode* f = list; f; f = f->next) {
      int index = RecOpen((std::string("\\Quorvale\\") + f->name).c_str(), kRecordModeReadWrite);
      printf("%s %u\n", f->name, index >= 0 ? RecCount(index, sizeof(CellRecord)) : 0);
      if (index >= 0) RecClose(index);
    }
    RecFreeList(list);
    return 0;
  }
  long mcc;
  if (!Number(argv[0], &mcc)) return Fail("list takes an MCC");
  std::string error;
  int index = OpenExisting(mcc, &error);
  if (index < 0) return Fail(error);
  for (const CellRecord& r : All(index)) PrintCell(r);
  RecClose(index);
  return 0;
}

// Writes the GPX files and says which it wrote.
int Export(int argc, char** argv) {
  bool imported = argc == 1 && strcmp(argv[0], "--imported") == 0;
  if (argc != 0 && !imported) return Fail("export takes only --imported (it writes <root>/Quorvale/<MCC>.gpx)");
  time_t start = time(nullptr);
  {
    ServicePause pause;
    ExportTowerMap();
  }
  if (imported) ExportImportedMap();
  int written = 0;
  FileNode* list = RecList("\\Quorvale\\*.gpx");
  for (FileNode* f = list; f; f = f->next) {
    std::string path = PlatformRoot() + "/Quorvale/" + f->name;
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && st.st_mtime >= start - 1) {
      printf("wrote %s\n", path.c_str());
      ++written;
    }
  }
  RecFreeList(list);
  if (!written) printf("no cells with a position to export\n");
  return 0;
}

int Find(int argc, char** argv) {
  long long v[4];
  if (argc != 4 && argc != 5) return Fail("find takes MCC MNC AREA CELL [RADIO]");
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    v[i] = strtoll(argv[i], &end, 10);
    if (end == argv[i] || *end || v[i] < 0) return Fail(std::string("not a number: ") + argv[i]);
  }
  if (v[0] > 999 || v[1] > 999) return Fail("MCC and MNC run to 999");
  DWORD area = static_cast<DWORD>(v[2]), cell = static_cast<DWORD>(v[3]);
  bool nr = argc == 5 && strcmp(argv[4], "NR") == 0;
  if (!nr && (v[2] > 0xFFFFFFFFLL || v[3] > 0xFFFFFFFFLL))
    return Fail("AREA and CELL are 32-bit as the radio reports them (a 5G cell: add NR)");
  if (argc == 5) {
    if (strcmp(argv[4], "NR") != 0 && CellRadioOf(argv[4]) < 0) return Fail(std::string("unknown radio ") + argv[4]);
    if (strcmp(argv[4], "NR") == 0) {  // a 5G cell keyed as its radio reports it
      if (v[2] > 0xFFFFFF || static_cast<unsigned long long>(v[3]) > kImportedNrCellLimit)
        return Fail("a 5G cell has a 24-bit TAC and a 36-bit NCI");
      PackNrCell(area, static_cast<unsigned long long>(v[3]), &area, &cell);
    }
  }
  bool any = false;
  std::string error;
  int index = -1;
  char path[64];
  CellDbPath(static_cast<DWORD>(v[0]), path, sizeof path);
  if (GetFileAttributesW(Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES) index = OpenExisting(v[0], &error);
  if (index >= 0) {
    CellRecord key{};
    key.Mnc = static_cast<LONG>(v[1]);
    key.Lac = static_cast<LONG>(area);
    key.Cid = static_cast<LONG>(cell);
    WORD outcome;
    RecSearch(index, &key, sizeof key, CompareCells, &outcome);
    RecClose(index);
    if (outcome == 0) {
      printf("learned: ");
      PrintCell(key);
      any = true;
    }
  }
  ImportedCell found;
  if (FindImportedCell(static_cast<DWORD>(v[0]), static_cast<DWORD>(v[1]), area, cell, &found)) {
    CellRecord r;
    ImportedToRecord(found, &r);
    // Its own area and whole cell id (a 5G cell's TAC and NCI), not the learned files' packing.
    printf("imported %s: ", CellRadioName(ImportedRadio(found)));
    PrintCellFields(ImportedMnc(found), found.NetworkArea & kImportedAreaLimit, found.CellRadio >> 3, r.Latitude,
                    r.Longitude, r.Updated);
    printf(", range %d m, %d samples\n", found.Range, found.Samples);
    any = true;
  }
  if (!any) return Fail("cell not found, neither learned nor imported");
  return 0;
}

void PrintLine(const char* text, void*) { printf("%s\n", text); }

int Stats(int argc) {
  if (argc != 0) return Fail("stats takes no argument");
  return PrintImportedStats(PrintLine, nullptr) == 0 ? 0 : 1;
}

int Verify(int argc, char** argv, bool repair) {
  long mcc;
  if (argc != 1 || !Number(argv[0], &mcc)) return Fail(std::string(repair ? "repair" : "verify") + " takes an MCC");
  std::optional<ServicePause> pause;
  if (repair) pause.emplace();
  std::string error;
  int index = OpenExisting(mcc, &error);
  if (index < 0) return Fail(error);
  if (repair) {
    int fixed = RepairCellFile(index);
    std::string path = RecPath(index);
    DWORD cells = RecCount(index, sizeof(CellRecord));
    RecClose(index);
    if (fixed < 0) return Fail("cannot rewrite " + path + ": it stays as it was (see the service's log)");
    printf("%s: %u cells%s\n", path.c_str(), cells, fixed ? ", repaired" : ", sound");
    return 0;
  }
  std::vector<CellRecord> all = All(index);
  DWORD partial = RecSize(index) % sizeof(CellRecord), unsorted = 0, duplicates = 0, outOfRange = 0;
  for (size_t i = 1; i < all.size(); ++i) {
    int c = CompareCells(&all[i - 1], &all[i]);
    unsorted += c > 0;
    duplicates += c == 0;
  }
  for (const CellRecord& r : all) outOfRange += !CellRecordInRange(r);
  printf("%s: %zu cells, %u out of order, %u duplicates, %u bytes of a partial record, %u out of range\n",
         RecPath(index), all.size(), unsorted, duplicates, partial, outOfRange);
  RecClose(index);
  return unsorted || duplicates || partial || outOfRange ? 1 : 0;
}

std::atomic<bool> g_stop{false};

void StopImport(int) { g_stop = true; }

// "1:02:03" of a number of seconds.
std::string Clock(double seconds) {
  long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

// On a terminal one line redrawn: rows, rows/s, percent of the file, time left; elsewhere a
// line every million rows.
struct ImportProgress {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  bool terminal = isatty(2);
  void operator()(const CellImportProgress& p) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double share = p.fileSize ? static_cast<double>(p.fileBytes) / static_cast<double>(p.fileSize) : 0;
    double rate = seconds > 0 ? static_cast<double>(p.rows) / seconds : 0;
    std::string left = share > 0.01 ? Clock(seconds * (1 - share) / share) + " left" : "";
    if (terminal) {
      int width = 30, filled = static_cast<int>(share * width);
      fprintf(stderr, "\r[%s%s] %3.0f%%  %llu rows  %.0f rows/s  %s   ", std::string(filled, '#').c_str(),
              std::string(width - filled, '.').c_str(), share * 100, static_cast<unsigned long long>(p.rows), rate,
              left.c_str());
    } else if (p.rows % 1000000 == 0) {
      fprintf(stderr, "ferrox-cells: %llu rows read (%.0f%%, %.0f rows/s, %s)\n", static_cast<unsigned long long>(p.rows),
              share * 100, rate, left.c_str());
    }
  }
};

int Import(int argc, char** argv) {
  if (argc < 1) return Fail("import takes a FILE");
  CellImportOptions o;
  static const option kImportOptions[] = {{"mcc", required_argument, nullptr, 'm'},
                                           {"bbox", required_argument, nullptr, 'b'},
                                           {"radio", required_argument, nullptr, 'r'},
                                           {nullptr, 0, nullptr, 0}};
  // The command's words as getopt sees them: "import", FILE, then its options.
  char** words = argv - 1;
  const int count = argc + 1;
  optind = 2;
  for (int c; (c = getopt_long(count, words, "+", kImportOptions, nullptr)) != -1;) {
    const char* v = optarg;
    if (c == 'm') {
      long mcc;
      if (!Number(v, &mcc) || mcc <= 0 || mcc > 999) return Fail("--mcc takes a country code 1..999");
      o.mcc = static_cast<unsigned>(mcc);
    } else if (c == 'r') {
      std::string list = v;
      for (size_t at = 0; at <= list.size();) {
        size_t comma = list.find(',', at);
        std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        int radio = CellRadioOf(name.c_str());
        if (radio < 0) return Fail("--radio takes GSM, UMTS, LTE, NR or CDMA, separated by commas");
        o.radios |= 1u << radio;
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    } else if (c == 'b') {
      char* end = nullptr;
      double b[4];
      const char* p = v;
      for (int k = 0; k < 4; ++k) {
        b[k] = ParseCDouble(p, &end);
        if (end == p || (k < 3 && *end != ',') || (k == 3 && *end)) return Fail("--bbox takes MINLAT,MINLON,MAXLAT,MAXLON");
        p = end + 1;
      }
      o.bbox = true;
      o.minLat = b[0], o.minLon = b[1], o.maxLat = b[2], o.maxLon = b[3];
      if (o.minLat > o.maxLat || o.minLon > o.maxLon) return Fail("--bbox: the minimum is above the maximum");
    } else {
      return RefuseOption("ferrox-cells", words);
    }
  }
  if (optind < count) return Fail(std::string("unexpected argument ") + words[optind] + " (see --help)");
  struct sigaction stop{};
  stop.sa_handler = StopImport;
  stop.sa_flags = SA_RESTART;  // the read goes on; the import stops at the next row
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  ImportProgress progress;
  CellImportResult r = ImportCellCsv(argv[0], o, std::ref(progress), &g_stop);
  if (progress.terminal) fputc('\n', stderr);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - progress.start).count();
  std::string reasons;
  for (int i = 0; i < kCellRefusals; ++i)
    if (r.refused[i]) reasons += std::string(reasons.empty() ? " (" : ", ") + CellRefusalName(i) + " " + std::to_string(r.refused[i]);
  if (!reasons.empty()) reasons += ")";
  printf("%llu rows: %llu cells taken, %llu outside the filters, %llu refused%s; %llu cells written to %s in %.1f s "
         "(%.0f rows/s)\n",
         static_cast<unsigned long long>(r.rows), static_cast<unsigned long long>(r.taken),
         static_cast<unsigned long long>(r.outside), static_cast<unsigned long long>(r.Refused()), reasons.c_str(),
         static_cast<unsigned long long>(r.written), ImportedCellsPath(), seconds, seconds > 0 ? r.rows / seconds : 0.0);
  CloseImportedCells();
  if (!r.error.empty()) return Fail(r.error);
  if (r.interrupted) return Fail("interrupted: the cells written so far are kept; import the file again to finish");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int done = ReadCommandToolOptions(argc, argv, "ferrox-cells", kUsage);
  if (done >= 0) return done;
  int i = optind;
  if (i >= argc) {
    fputs(kUsage, stderr);
    return 1;
  }
  CreateDirectoryW(u"\\Quorvale", nullptr);
  std::string command = argv[i++];
  int rest = argc - i;
  char** args = argv + i;
  if (command == "list") return List(rest, args);
  if (command == "find") return Find(rest, args);
  if (command == "verify") return Verify(rest, args, false);
  if (command == "repair") return Verify(rest, args, true);
  if (command == "export") return Export(rest, args);
  if (command == "stats") return Stats(rest);
  if (command == "import") return Import(rest, args);
  return Fail("unknown command " + command + " (see --help)");
}
