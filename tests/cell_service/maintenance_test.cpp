// The maintenance jobs through the Control code: the tower map checked by xmllint against the GPX
// schemas and read back by gpsbabel, and the database update (old files, cells without position).
#include <chrono>
#include <fstream>
#include <thread>
#include "cell_fixture.h"
#include "cell_service/cell_db.h"
#include "cell_service/service_entry.h"
#include "cell_service/web_lookup.h"
#include "platform/service_ioctl.h"

namespace {

class MaintenanceTest : public WithCellService<DriverTest> {
 protected:
  void SetUp() override {
    WithCellService::SetUp();
    CreateDirectoryW(u"\\Quorvale", nullptr);
    SetDword(kCellKey, u"EnableCells", 0);  // no radio: only the jobs run
    ASSERT_EQ(TWK_Init(u"Services\\Towerkin", nullptr), kServiceContext);
  }
  void TearDown() override {
    TWK_Deinit(kServiceContext);
    WithCellService::TearDown();
  }
  void Control(DWORD command) {
    ASSERT_TRUE(TWK_IOControl(kServiceHandle, IOCTL_SERVICE_CONTROL, reinterpret_cast<BYTE*>(&command), 4, nullptr,
                              0, nullptr));
  }
  static CellRecord Cell(LONG mnc, LONG lac, LONG cid, const SYSTEMTIME& t, double lat, double lon) {
    CellRecord r{};
    r.Mnc = mnc;
    r.Lac = lac;
    r.Cid = cid;
    SystemTimeToFileTime(&t, &r.Updated);
    r.Latitude = lat;
    r.Longitude = lon;
    return r;
  }
  template <typename T>
  void WriteRecords(const std::string& name, const std::vector<T>& records) {
    std::ofstream out(root_ + "/Quorvale/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(records.data()), static_cast<std::streamsize>(records.size() * sizeof(T)));
  }
  std::vector<CellRecord> Cells(const std::string& name) {
    std::ifstream in(root_ + "/Quorvale/" + name, std::ios::binary);
    std::vector<CellRecord> all;
    CellRecord r;
    while (in.read(reinterpret_cast<char*>(&r), sizeof r)) all.push_back(r);
    return all;
  }
};

}  // namespace

TEST_F(MaintenanceTest, TheTowerMapIsValidGpxThatGpsbabelReads) {
  SYSTEMTIME t = MakeTime(2010, 8, 28, 4, 50, 29, 0);
  WriteRecords<CellRecord>("262.dbc", {Cell(1, 4711, 5, t, 48.137154, 11.576124), Cell(1, 4711, 6, t, 0, 0),
                                       Cell(2, 1, 7, t, -33.868820, 151.209296)});
  WriteRecords<CellRecord>("310.dbc", {Cell(410, 1, 1, t, 0, 0)});
  Control(kControlMapTowers);
  std::string gpx = ReadWholeFile(root_ + "/Quorvale/262.gpx");
  EXPECT_NE(gpx.find("   <wpt lat=\"48.137154\" lon=\"11.576124\">\r\n      <time>2010-08-28T04:50:29Z</time>\r\n"
                     "      <name>1-4711-5</name>\r\n"),
            std::string::npos)
      << gpx;
  EXPECT_EQ(gpx.find("<name>1-4711-6</name>"), std::string::npos);  // no position, no waypoint
  std::string empty = ReadWholeFile(root_ + "/Quorvale/310.gpx");
  EXPECT_EQ(empty.find("<wpt"), std::string::npos);
  EXPECT_NE(empty.find("</gpx>"), std::string::npos);
  std::string schema = std::string(FERROX_SOURCE_DIR) + "/tests/data/schemas/gpx-1.1-garmin-v3.xsd";
  ASSERT_TRUE(FileExists(schema)) << "the GPX schemas are missing: nothing to check against";
  std::string out;
  for (const char* name : {"262.gpx", "310.gpx"}) {
    EXPECT_EQ(RunCommand("xmllint --noout --schema " + schema + " " + root_ + "/Quorvale/" + name + " 2>&1", &out), 0)
        << out;
  }
  ASSERT_EQ(RunCommand("gpsbabel -i gpx -f " + root_ + "/Quorvale/262.gpx -o unicsv -F - 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("48.137154,11.576124,\"1-4711-5\",\"Radio Beacon\",2010/08/28,04:50:29"), std::string::npos) << out;
  EXPECT_NE(out.find("-33.868820,151.209296,\"2-1-7\""), std::string::npos) << out;
}

TEST_F(MaintenanceTest, TheUpdateImportsOldFilesAndLooksUpCellsWithoutPosition) {
  LookupServer();
  ReadLookupHost();  // the service read its settings before the server was set
  server_.AnswerBody(Found(50000000, 8000000));
  SYSTEMTIME old = MakeTime(2010, 1, 1, 0, 0, 0, 0), newer = MakeTime(2011, 1, 1, 0, 0, 0, 0);
  // Stored: cell 100 newer than the old file's, cell 300 with a position, cell 400 without one.
  WriteRecords<CellRecord>("262.dbc", {Cell(1, 4711, 100, newer, 1, 1), Cell(1, 4711, 300, old, 2, 2),
                                       Cell(1, 4711, 400, old, 0, 0)});
  OldCellRecord a{}, b{}, c{};
  SystemTimeToFileTime(&old, &a.Updated);
  a.Cid = 12345, a.Latitude = 48.5, a.Longitude = 11.5;
  b = a, b.Cid = 100, b.Latitude = 9;  // older than ours: skipped
  c = a, c.Cid = 222, c.Latitude = c.Longitude = 0;  // no position: looked up
  WriteRecords<OldCellRecord>("262-1-4711.cdb", {a, b, c});
  Control(kControlUpdateDb);
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262-1-4711.cdb"));
  auto cells = Cells("262.dbc");
  ASSERT_EQ(cells.size(), 5u);
  auto find = [&](LONG lac, LONG cid) {
    for (const auto& r : cells)
      if (r.Lac == lac && r.Cid == cid) return r;
    return CellRecord{};
  };
  EXPECT_EQ(find(4711, 12345).Latitude, 48.5);
  EXPECT_EQ(find(4711, 100).Latitude, 1);
  EXPECT_EQ(find(4711, 222).Latitude, 50);   // from the server
  EXPECT_EQ(find(4711, 400).Latitude, 50);   // the update fills cells stored without a position
  EXPECT_EQ(find(4711, 300).Latitude, 2);
  // An old record newer than ours but without a position, which the server does not know either:
  // the known position stays, and the old file is removed since nothing failed.
  server_.AnswerBody(std::string("\0\0\0\0\0\0\1", 7) + std::string(8, '\0'));
  OldCellRecord d{};
  SystemTimeToFileTime(&newer, &d.Updated);
  d.Cid = 300;
  WriteRecords<OldCellRecord>("262-1-4711.cdb", {d});
  Control(kControlUpdateDb);
  cells = Cells("262.dbc");
  EXPECT_EQ(find(4711, 300).Latitude, 2);
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262-1-4711.cdb"));
}

// A stop while the database update waits for a server that never answers (its time-out a minute):
// the stop takes neither the lookup's time nor the data lock's, and the update ends at once too,
// its cells unchanged.
TEST_F(MaintenanceTest, AStopDuringAnUpdateWaitingForTheServerReturnsAtOnce) {
  SetDword(u"Software\\Quorvale\\Internet", u"Timeout", 60000);
  server_.Answer("");  // never answers
  LookupServer();
  ReadLookupHost();
  SYSTEMTIME old = MakeTime(2010, 1, 1, 0, 0, 0, 0);
  WriteRecords<CellRecord>("262.dbc", {Cell(1, 4711, 1, old, 0, 0), Cell(1, 4711, 2, old, 0, 0),
                                       Cell(1, 4711, 3, old, 0, 0)});
  std::thread update([&] { Control(kControlUpdateDb); });
  ASSERT_TRUE(WaitFor([&] { return !server_.Requests().empty(); }, 10));
  auto start = std::chrono::steady_clock::now();
  DWORD stop = IOCTL_SERVICE_STOP;
  EXPECT_TRUE(TWK_IOControl(kServiceHandle, stop, nullptr, 0, nullptr, 0, nullptr));
  double stopped = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  update.join();
  double ended = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(stopped, 3.0);  // the exchange alone would take 60 s
  EXPECT_LT(ended, 3.0);
  EXPECT_EQ(server_.Requests().size(), 1u);  // no lookup after the stop
  auto cells = Cells("262.dbc");
  ASSERT_EQ(cells.size(), 3u);
  for (const auto& r : cells) EXPECT_EQ(r.Latitude, 0);
}
