// ferrox-cells on a root of its own: a public cell CSV of 100 000 rows imported with a box, the
// cells found again, and a damaged file found and repaired.
#include <zlib.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include "cell_service/cell_record.h"
#include "cell_service/imported_cells.h"
#include "platform/ril.h"
#include "test_root.h"

namespace {

class FerroxCellsTest : public TempRootTest {
 protected:
  int Cells(const std::string& args, std::string* out) {
    out->clear();
    return RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " " + args + " 2>&1", out);
  }
};

}  // namespace

TEST_F(FerroxCellsTest, ALargeCsvImportsInsideItsBoxAndItsCellsAreFound) {
  // 100 000 rows: a tenth of them in Germany (262) inside the box, the rest outside it or of
  // other countries, and some rows that are no cell at all.
  std::string path = root_ + "/cells.csv.gz";
  gzFile out = gzopen(path.c_str(), "wb1");
  ASSERT_TRUE(out);
  gzputs(out, "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n");
  std::mt19937 random(7);
  int inside = 0;
  for (int i = 0; i < 100000; ++i) {
    char row[200];
    if (i % 1000 == 999) {
      gzputs(out, "GSM,262,1,2,not-a-number,,1,1,1,1,1,1,1,0\n");
      continue;
    }
    bool in = i % 10 == 0;
    int mcc = in || i % 3 ? 262 : 208;
    double lat = in ? 50 + (random() % 1000) / 1000.0 : 30 + (random() % 1000) / 1000.0;
    snprintf(row, sizeof row, "UMTS,%d,%d,%d,%d,,%.6f,%.6f,1000,5,1,1290000000,1300000000,0\n", mcc, 1 + i % 3,
             100 + i % 50, i, 8.0 + (i % 100) / 100.0, lat);
    inside += in;
    gzputs(out, row);
  }
  gzclose(out);
  std::string text;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Cells("import " + path + " --bbox 47,5,55,15", &text), 0) << text;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("import_seconds", std::to_string(seconds));
  EXPECT_NE(text.find("100000 rows: " + std::to_string(inside) + " cells taken, " + std::to_string(99900 - inside) +
                      " outside the filters, 100 refused (bad fields 100); " + std::to_string(inside) + " cells written"),
            std::string::npos)
      << text;
  DWORD max = 500;
  GetDword(u"Software\\Quorvale\\CellTower", u"MaxCells", &max);
  EXPECT_EQ(max, 500u) << "imported cells need no higher limit: it bounds learned ones only";
  ASSERT_EQ(Cells("find 262 2 100 1000", &text), 0) << text;  // row 1000: in the box
  EXPECT_EQ(text.substr(0, 29), "imported UMTS: 2 100 1000 50.") << text;
  EXPECT_NE(text.find("2011-03-13T07:06:40Z, range 1000 m, 5 samples"), std::string::npos) << text;
  EXPECT_NE(Cells("find 262 3 101 1001", &text), 0);  // outside the box
  // Imported cells live in their own store: the learned files are not touched.
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262.dbc"));
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/208.dbc"));
}

TEST_F(FerroxCellsTest, ADamagedFileIsFoundAndRepairedAndBadUseIsRefused) {
  std::string text;
  ASSERT_EQ(Cells("list", &text), 0);  // a fresh root: says there is nothing yet
  EXPECT_EQ(text.rfind("no cell files in " + root_ + "/Quorvale", 0), 0u) << text;
  CreateDirectoryW(u"\\Quorvale", nullptr);
  CellRecord a{}, b{};
  a.Cid = 9, b.Cid = 3;
  a.Latitude = b.Latitude = 1;
  {
    std::ofstream f(root_ + "/Quorvale/262.dbc", std::ios::binary);
    for (const CellRecord* r : {&a, &a, &b}) f.write(reinterpret_cast<const char*>(r), sizeof *r);
    f.write("xx", 2);
  }
  EXPECT_EQ(Cells("verify 262", &text), 1);
  EXPECT_NE(text.find("3 cells, 1 out of order, 1 duplicates, 2 bytes of a partial record"), std::string::npos) << text;
  ASSERT_EQ(Cells("repair 262", &text), 0) << text;
  EXPECT_EQ(Cells("verify 262", &text), 0) << text;
  EXPECT_NE(text.find("2 cells, 0 out of order"), std::string::npos) << text;
  ASSERT_EQ(Cells("list", &text), 0);
  EXPECT_EQ(text, "262.dbc 2\n");
  // Export says what it wrote; an argument it does not take is refused.
  ASSERT_EQ(Cells("export", &text), 0) << text;
  EXPECT_EQ(text, "wrote " + root_ + "/Quorvale/262.gpx\n");
  EXPECT_EQ(Cells("export out.gpx", &text), 1);
  EXPECT_NE(text.find("export takes only --imported"), std::string::npos) << text;
  EXPECT_EQ(Cells("verify 999", &text), 1);
  EXPECT_NE(text.find("no cell file"), std::string::npos) << text;
  EXPECT_EQ(Cells("import " + root_ + "/missing.csv", &text), 1);
  EXPECT_NE(text.find("cannot read"), std::string::npos) << text;
  EXPECT_EQ(Cells("import x --bbox 1,2,3", &text), 1);
  EXPECT_EQ(Cells("frobnicate", &text), 1);
  EXPECT_EQ(Cells("--help", &text), 0);
  EXPECT_NE(text.find("Usage: ferrox-cells"), std::string::npos);
}

TEST_F(FerroxCellsTest, ARepairThatCannotWriteSaysSoAndAnEmptyFileIsLeft) {
  CreateDirectoryW(u"\\Quorvale", nullptr);
  CellRecord a{}, b{};
  a.Cid = 9, b.Cid = 3;
  a.Latitude = b.Latitude = 1;
  {
    std::ofstream f(root_ + "/Quorvale/262.dbc", std::ios::binary);
    for (const CellRecord* r : {&a, &b}) f.write(reinterpret_cast<const char*>(r), sizeof *r);
  }
  // The rewrite's temporary file cannot be made (a folder stands at its name).
  std::filesystem::create_directory(root_ + "/Quorvale/262.dbc.tmp");
  std::string text;
  EXPECT_EQ(Cells("repair 262", &text), 1) << text;
  EXPECT_NE(text.find("cannot rewrite"), std::string::npos) << text;
  EXPECT_EQ(ReadWholeFile(root_ + "/Quorvale/262.dbc").size(), 80u);  // as it was
  std::filesystem::remove(root_ + "/Quorvale/262.dbc.tmp");
  // A file of no records the user has: verify looks at it and leaves it.
  std::ofstream(root_ + "/Quorvale/208.dbc").close();
  Cells("verify 208", &text);
  EXPECT_TRUE(FileExists(root_ + "/Quorvale/208.dbc")) << text;
}

TEST_F(FerroxCellsTest, OutOfRangeRowsAndRecordsAreRefusedReportedAndDropped) {
  std::string path = root_ + "/bad.csv";
  std::ofstream(path) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                         "GSM,262,1,2,3,,8.5,50.1,1000,5,1,1290000000,1300000000,0\n"
                         "GSM,262,1,2,4,,8.5,50.1,1000,5,1,1290000000,99999999999999,0\n"   // updated in year 3 million
                         "GSM,262,1,2,5,,8.5,50.1,1000,5,1,1290000000,-5,0\n"
                         "GSM,262,1,2,6,,200,95,1000,5,1,1290000000,1300000000,0\n";       // off the globe
  std::string text;
  ASSERT_EQ(Cells("import " + path, &text), 0) << text;
  EXPECT_NE(text.find("4 rows: 1 cells taken, 0 outside the filters, 3 refused (bad position 1, bad update time 2)"),
            std::string::npos) << text;
  // A record off the globe in a file (an older tool's, or a damaged copy): verify says so, repair drops it.
  CellRecord bad{};
  bad.Mnc = 1, bad.Lac = 2, bad.Cid = 99, bad.Latitude = 95, bad.Longitude = 200;
  std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(&bad), sizeof bad);
  EXPECT_EQ(Cells("verify 262", &text), 1);
  EXPECT_NE(text.find("1 out of range"), std::string::npos) << text;
  ASSERT_EQ(Cells("repair 262", &text), 0) << text;
  EXPECT_EQ(Cells("verify 262", &text), 0) << text;
  EXPECT_NE(text.find("0 cells,"), std::string::npos) << text;  // the import wrote no learned file
}

namespace {

const char kHeader[] = "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n";
const char* const kRadio[] = {"GSM", "UMTS", "LTE", "NR"};

// Row i of the big export: its radio by i, a 5G cell's id beyond 32 bits.
std::string ExportRow(int i, double lat, long long updated) {
  char row[200];
  unsigned long long cell = i % 4 == 3 ? (1ULL << 33) + i : static_cast<unsigned long long>(i);
  snprintf(row, sizeof row, "%s,%d,1,%d,%llu,,%.6f,%.6f,%d,%d,1,1290000000,%lld,0\n", kRadio[i % 4], i % 2 ? 208 : 262,
           100 + i % 50, cell, 8 + (i % 1000) / 1000.0, lat, 500 + i % 7, 1 + i % 9, updated);
  return row;
}

// What the service's lookup finds for row i (as the radio reports the cell), or -999 for nothing.
double ServiceFinds(int i) {
  DWORD area = 100 + i % 50, cell = static_cast<DWORD>(i);
  if (i % 4 == 3) PackNrCell(area, (1ULL << 33) + i, &area, &cell);
  ImportedCell c;
  return FindImportedCell(i % 2 ? 208 : 262, 1, area, cell, &c) ? c.LatitudeE7 / 1e7 : -999;
}

}  // namespace

// 204 000 rows: every radio (5G ids of 36 bits), two countries, damaged rows and rows of a radio
// no export should have, and cells listed twice with an older and a newer time. The counts are
// exact, the newer row of a cell wins, the service's lookup finds the cells with no learned file,
// and a later import of newer rows updates them.
TEST_F(FerroxCellsTest, ABigExportImportsWithItsDuplicatesAndBadRowsCountedAndNewerRowsWin) {
  std::string path = root_ + "/export.csv";
  {
    std::ofstream out(path);
    out << kHeader;
    for (int i = 0; i < 200000; ++i) {
      if (i % 1000 == 999) out << "LTE,262,1,x,1,,1,1,1,1,1,1,1,0\n";
      else if (i % 500 == 250) out << "WIMAX,262,1,1,1,,1,1,1,1,1,1,1,0\n";
      else out << ExportRow(i, 50, 1300000000);
      if (i % 100 == 10) out << ExportRow(i - 10, 40, 1200000000);  // older: stays as it was
      if (i % 100 == 20) out << ExportRow(i - 20, 45, 1400000000);  // newer: replaces it
    }
  }
  std::string text;
  ASSERT_EQ(Cells("import " + path, &text), 0) << text;
  EXPECT_NE(text.find("204000 rows: 203400 cells taken, 0 outside the filters, 600 refused (bad fields 200, unknown "
                      "radio 400); "),
            std::string::npos) << text;
  ASSERT_EQ(Cells("stats", &text), 0) << text;
  EXPECT_NE(text.find("MCC 208: UMTS 50000 NR 49800 (99800 cells)"), std::string::npos) << text;
  EXPECT_NE(text.find("MCC 262: GSM 50000 LTE 49600 (99600 cells)"), std::string::npos) << text;
  EXPECT_NE(text.find(": 199400 cells, "), std::string::npos) << text;
  EXPECT_NE(text.find("204000 rows, "), std::string::npos) << text;
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262.dbc"));
  PlatformSetRoot(root_);
  EXPECT_DOUBLE_EQ(ServiceFinds(0), 45);   // its newer row
  EXPECT_DOUBLE_EQ(ServiceFinds(10), 50);  // its older row lost
  EXPECT_DOUBLE_EQ(ServiceFinds(3), 50);   // a 5G cell, as the radio packs it
  EXPECT_DOUBLE_EQ(ServiceFinds(7), 50);
  EXPECT_DOUBLE_EQ(ServiceFinds(999), -999);  // the damaged row
  ASSERT_EQ(Cells("find 208 1 103 8589934595 NR", &text), 0) << text;  // row 3 by its TAC and NCI
  EXPECT_EQ(text.rfind("imported NR: 1 103 8589934595 50.000000", 0), 0u) << text;
  EXPECT_NE(Cells("find 262 1 103 3", &text), 0) << "an LTE or GSM cell of the 5G cell's numbers";
  // A second import: a newer row moves a cell, an older one moves nothing.
  std::ofstream(path) << kHeader << ExportRow(1, 30, 1500000000) << ExportRow(2, 30, 1000000000);
  ASSERT_EQ(Cells("import " + path, &text), 0) << text;
  CloseImportedCells();  // the store is read afresh
  EXPECT_DOUBLE_EQ(ServiceFinds(1), 30);
  EXPECT_DOUBLE_EQ(ServiceFinds(2), 50);
  CloseImportedCells();
}

// An import stopped while it writes (once the store holds its first cells) leaves a store that
// opens and answers: Ctrl-C commits what was read and says so, a kill keeps the last commit; the
// same file imported again completes it.
TEST_F(FerroxCellsTest, AnImportStoppedOrKilledLeavesAStoreThatOpensAndAnswers) {
  std::string path = root_ + "/export.csv", newer = root_ + "/newer.csv";
  {
    std::ofstream out(path), later(newer);
    out << kHeader;
    later << kHeader;
    for (int i = 0; i < 600000; ++i) {
      out << ExportRow(i, 50, 1300000000);
      later << ExportRow(i, 45, 1400000000);
    }
  }
  std::string store = root_ + "/Quorvale/cells.sqlite", tool = FERROX_CELLS_TOOL, said = root_ + "/said.txt";
  // Starts the import of `file` and sends `signal` once it writes (the store has grown, or a
  // transaction has its journal); its exit status.
  auto stopImport = [&](int signal, const std::string& file) {
    size_t before = FileExists(store) ? ReadWholeFile(store).size() : 0;
    pid_t import = fork();
    if (import == 0) {
      freopen(said.c_str(), "w", stdout);
      dup2(fileno(stdout), 2);
      execl(tool.c_str(), tool.c_str(), "--root", root_.c_str(), "import", file.c_str(), nullptr);
      _exit(127);
    }
    bool writing = false;
    for (int i = 0; i < 1200 && !writing; ++i) {
      writing = (FileExists(store) && ReadWholeFile(store).size() > before + 1000000) ||
                FileExists(store + "-journal") || waitpid(import, nullptr, WNOHANG) != 0;
      if (!writing) usleep(50000);
    }
    kill(import, signal);
    int status = 0;
    waitpid(import, &status, 0);
    EXPECT_TRUE(writing) << "the import wrote nothing in 60 s";
    return status;
  };
  std::string text;
  int status = stopImport(SIGINT, path);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ReadWholeFile(said).find("interrupted: the cells written so far are kept"), std::string::npos)
      << ReadWholeFile(said);
  ASSERT_EQ(Cells("stats", &text), 0) << text;
  EXPECT_NE(text.find("(interrupted: import it again to finish)"), std::string::npos) << text;
  long cells = std::stol(text.substr(text.find(".sqlite: ") + 9));
  EXPECT_GE(cells, 500000) << "the first chunk and what followed were committed: " << text;
  // A kill while newer rows are written: what was in flight is rolled back at the next open.
  stopImport(SIGKILL, newer);
  text.clear();
  ASSERT_EQ(RunCommand("sqlite3 " + store + " 'PRAGMA integrity_check'", &text), 0) << text;
  EXPECT_EQ(text, "ok\n");
  ASSERT_EQ(Cells("find 262 1 100 0", &text), 0) << text;  // the old row or the newer one, whole
  EXPECT_TRUE(text.find(" 50.000000 ") != std::string::npos || text.find(" 45.000000 ") != std::string::npos) << text;
  ASSERT_EQ(Cells("import " + path, &text), 0) << text;
  ASSERT_EQ(Cells("import " + newer, &text), 0) << text;
  ASSERT_EQ(Cells("stats", &text), 0) << text;
  EXPECT_NE(text.find(".sqlite: 600000 cells"), std::string::npos) << text;
  ASSERT_EQ(Cells("find 262 1 148 599998", &text), 0) << text;  // near the end: in the newer file's last chunk
  EXPECT_NE(text.find(" 45.000000 "), std::string::npos) << text;
}
