// ferrox-cells on a root of its own: a public cell CSV of 100 000 rows imported with a box, the
// cells found again, and a damaged file found and repaired.
#include <zlib.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include "cell_service/cell_record.h"
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
  EXPECT_NE(text.find("100000 rows, " + std::to_string(inside) + " cells taken, 100 rejected; 1 files now hold " +
                      std::to_string(inside) + " cells"),
            std::string::npos)
      << text;
  DWORD max = 500;
  GetDword(u"Software\\Quorvale\\CellTower", u"MaxCells", &max);
  EXPECT_EQ(max, 500u) << "imported cells need no higher limit: it bounds learned ones only";
  ASSERT_EQ(Cells("find 262 2 100 1000", &text), 0) << text;  // row 1000: in the box
  EXPECT_EQ(text.substr(0, 14), "2 100 1000 50.") << text;
  EXPECT_NE(text.find("2011-03-13T07:06:40Z"), std::string::npos) << text;
  EXPECT_NE(Cells("find 262 3 101 1001", &text), 0);  // outside the box
  EXPECT_EQ(Cells("verify 262", &text), 0) << text;
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
  EXPECT_NE(text.find("export takes no argument"), std::string::npos) << text;
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
  EXPECT_NE(text.find("4 rows, 1 cells taken, 3 rejected"), std::string::npos) << text;
  // A record off the globe in a file (an older tool's, or a damaged copy): verify says so, repair drops it.
  CellRecord bad{};
  bad.Mnc = 1, bad.Lac = 2, bad.Cid = 99, bad.Latitude = 95, bad.Longitude = 200;
  std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(&bad), sizeof bad);
  EXPECT_EQ(Cells("verify 262", &text), 1);
  EXPECT_NE(text.find("1 out of range"), std::string::npos) << text;
  ASSERT_EQ(Cells("repair 262", &text), 0) << text;
  EXPECT_EQ(Cells("verify 262", &text), 0) << text;
  EXPECT_NE(text.find("1 cells,"), std::string::npos) << text;
}
