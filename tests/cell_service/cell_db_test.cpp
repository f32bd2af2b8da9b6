// The cell database files: sorted insertion, trimming, repair of damaged files, and files that
// survive a process killed in the middle of a rewrite.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <random>
#include <vector>
#include "cell_service/cell_db.h"
#include "cell_service/record_file.h"
#include "support/log.h"
#include "test_root.h"

namespace {

class CellDbTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    CreateDirectoryW(u"\\Quorvale", nullptr);
    g_Cells = {500, 13, 0};
    SetLogName("Towerkin");
    LogSetEnable(1);
  }
  void TearDown() override {
    CloseCellDb();
    TempRootTest::TearDown();
  }
  static CellRecord Cell(LONG mnc, LONG lac, LONG cid, ULONGLONG time = 0, double lat = 0, double lon = 0) {
    CellRecord r{};
    r.Mnc = mnc;
    r.Lac = lac;
    r.Cid = cid;
    r.Updated = U64ToFileTime(time);
    r.Latitude = lat;
    r.Longitude = lon;
    return r;
  }
  // Finds, then stores (creating or updating), as the publication does.
  static LONG Put(CellRecord r) {
    CellRecord found = r;
    FindCell(&found);
    r.Slot = found.Slot;
    return StoreCell(&r);
  }
  std::vector<CellRecord> OnDisk(const char* name) {
    std::ifstream in(Linux((std::string("\\Quorvale\\") + name).c_str()), std::ios::binary);
    std::vector<CellRecord> all;
    CellRecord r;
    while (in.read(reinterpret_cast<char*>(&r), sizeof r)) all.push_back(r);
    return all;
  }
  static bool SortedAndUnique(const std::vector<CellRecord>& all) {
    for (size_t i = 1; i < all.size(); ++i)
      if (CompareCells(&all[i - 1], &all[i]) >= 0) return false;
    return true;
  }
};

}  // namespace

TEST_F(CellDbTest, CellsAreStoredInKeyOrderAndFoundAgain) {
  ASSERT_GE(UseCellDb(262), 0);
  EXPECT_EQ(g_Cells.CurMcc, 262u);
  ASSERT_EQ(Put(Cell(1, 4711, 12345, 100, 48.1, 11.5)), 0);
  EXPECT_EQ(ReadWholeFile(Linux("\\Quorvale\\262.dbc")).size(), 40u);
  ASSERT_EQ(Put(Cell(1, 4711, 5, 200, 48.2, 11.6)), 0);    // smaller than every key: moves the other up
  ASSERT_EQ(Put(Cell(2, 1, 1, 300)), 0);                   // greater than every key: appended
  ASSERT_EQ(Put(Cell(1, 4711, 12345, 400, 48.3, 11.7)), 0);  // same key: updated in place
  auto all = OnDisk("262.dbc");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(SortedAndUnique(all));
  EXPECT_EQ(all[0].Cid, 5);
  EXPECT_DOUBLE_EQ(all[1].Latitude, 48.3);
  CellRecord key = Cell(1, 4711, 12345);
  FindCell(&key);
  EXPECT_EQ(key.Slot, 1u);
  EXPECT_EQ(FileTimeToU64(key.Updated), 400u);
  CellRecord missing = Cell(1, 4711, 6);
  FindCell(&missing);
  EXPECT_EQ(missing.Slot, kRecordMissing);
  // An open database can't be deleted from under the service.
  EXPECT_FALSE(DeleteFileW(u"\\Quorvale\\262.dbc"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseCellDb();
  EXPECT_TRUE(FileExists(Linux("\\Quorvale\\262.dbc")));
}

TEST_F(CellDbTest, TrimmingDropsTheOldestTenthBeyondTheLimit) {
  ASSERT_GE(UseCellDb(262), 0);
  std::vector<CellRecord> full;
  for (int i = 0; i < 500; ++i) full.push_back(Cell(1, 1, i + 1, 1000 + ((i * 7) % 500)));
  ASSERT_EQ(RecReplace(CellDbIndex(), full.data(), 500, sizeof(CellRecord)), 0);
  ASSERT_EQ(Put(Cell(1, 2, 1, 5000)), 0);
  auto all = OnDisk("262.dbc");
  ASSERT_EQ(all.size(), 451u);
  EXPECT_TRUE(SortedAndUnique(all));
  for (const auto& r : all) EXPECT_GE(FileTimeToU64(r.Updated), 1050u) << r.Cid;  // the 50 oldest are gone
  g_Cells.MaxCells = 0;  // every new cell empties the file first
  ASSERT_EQ(Put(Cell(1, 3, 1, 6000)), 0);
  EXPECT_EQ(OnDisk("262.dbc").size(), 1u);
}

TEST_F(CellDbTest, ImportedCellsAreNeverTrimmedByWhatTheServiceLearns) {
  ASSERT_GE(UseCellDb(262), 0);
  std::vector<CellRecord> imported;
  for (int i = 0; i < 20000; ++i) {
    imported.push_back(Cell(1, 100 + i / 1000, i, 10, 50 + i * 1e-5, 8));
    imported.back().Reserved = kCellImported;
  }
  ASSERT_EQ(RecReplace(CellDbIndex(), imported.data(), 20000, sizeof(CellRecord)), 0);
  // 600 cells learned one after another, newer than every import, against a limit of 500.
  for (int i = 0; i < 600; ++i) ASSERT_EQ(Put(Cell(2, 7, i, 1000 + i, 48, 11)), 0) << i;
  auto all = OnDisk("262.dbc");
  EXPECT_TRUE(SortedAndUnique(all));
  long kept = std::count_if(all.begin(), all.end(), [](const CellRecord& r) { return r.Reserved == kCellImported; });
  long learned = static_cast<long>(all.size()) - kept;
  EXPECT_EQ(kept, 20000) << "imported cells were trimmed";
  EXPECT_GE(learned, 450);
  EXPECT_LE(learned, 500);
  // The newest learned cells stay.
  CellRecord last = Cell(2, 7, 599);
  FindCell(&last);
  EXPECT_LT(last.Slot, kRecordMissing);
  // A file at the most a file can hold refuses a new cell and says so; it loses nothing.
  imported.clear();
  for (DWORD i = 0; i < kRecordFileLimit; ++i) {
    imported.push_back(Cell(1, 1, static_cast<LONG>(i), 10, 50, 8));
    imported.back().Reserved = kCellImported;
  }
  ASSERT_EQ(RecReplace(CellDbIndex(), imported.data(), kRecordFileLimit, sizeof(CellRecord)), 0);
  EXPECT_EQ(Put(Cell(9, 9, 9, 2000, 48, 11)), -1);
  EXPECT_EQ(RecCount(CellDbIndex(), sizeof(CellRecord)), kRecordFileLimit);
  LogLine(LOG_FLUSH, nullptr);
  EXPECT_NE(ReadWholeFile(root_ + "/Quorvale/Towerkin.txt").find("Cell not stored: 262.dbc holds 65533 cells"),
            std::string::npos);
}

TEST_F(CellDbTest, ADamagedFileIsRepairedWhenOpened) {
  // Out of order, a duplicate (the later update wins) and half a record at the end.
  std::vector<CellRecord> bad = {Cell(1, 1, 30, 10), Cell(1, 1, 10, 10), Cell(1, 1, 30, 20, 1, 2), Cell(0, 9, 9, 5)};
  {
    std::ofstream out(Linux("\\Quorvale\\262.dbc"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bad.data()), bad.size() * sizeof(CellRecord));
    out.write("partial", 7);
  }
  ASSERT_GE(UseCellDb(262), 0);
  auto all = OnDisk("262.dbc");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(SortedAndUnique(all));
  EXPECT_EQ(FileTimeToU64(all[2].Updated), 20u);
  EXPECT_DOUBLE_EQ(all[2].Latitude, 1);
  LogLine(LOG_FLUSH, nullptr);
  EXPECT_NE(ReadWholeFile(Linux("\\Quorvale\\Towerkin.txt")).find("Repaired \\Quorvale\\262.dbc"), std::string::npos);
}

TEST_F(CellDbTest, AProcessKilledWhileInsertingAndTrimmingLeavesASoundFile) {
  std::mt19937 random(42);
  size_t before = 0;
  for (int round = 0; round < 12; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_Cells.MaxCells = 300;  // trims every 30 new cells
      if (UseCellDb(262) < 0) _exit(2);
      std::mt19937 keys(static_cast<unsigned>(round));
      for (int i = 0; i < 1000; ++i) Put(Cell(1, static_cast<LONG>(keys() % 50), static_cast<LONG>(keys() % 5000), i + 1));
      _exit(0);
    }
    usleep(2000 + random() % 40000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_GE(UseCellDb(262), 0) << round;
    auto all = OnDisk("262.dbc");
    EXPECT_TRUE(SortedAndUnique(all)) << round;
    EXPECT_GE(all.size(), before > 0 ? 1u : 0u) << round;  // never emptied once it held records
    before = all.size();
    CloseCellDb();
  }
  EXPECT_GT(before, 0u);
}

TEST_F(CellDbTest, AFailedOpenIsTriedAgainAndLongFilesAndPathsAreServed) {
  // The file can't be opened (a folder stands in its way): the next use tries again.
  ASSERT_TRUE(CreateDirectoryW(u"\\Quorvale\\262.dbc", nullptr));
  EXPECT_LT(UseCellDb(262), 0);
  ASSERT_TRUE(RemoveDirectoryW(u"\\Quorvale\\262.dbc"));
  EXPECT_GE(UseCellDb(262), 0);
  // More than 65535 records: counted whole; a record beyond the slot numbers is found but can't
  // be named by one, so it counts as failed rather than as another record.
  std::vector<CellRecord> many(70000);
  for (int i = 0; i < 70000; ++i) many[i] = Cell(1, 1, i + 1);
  ASSERT_EQ(RecReplace(CellDbIndex(), many.data(), 70000, sizeof(CellRecord)), 0);
  EXPECT_EQ(RecCount(CellDbIndex(), sizeof(CellRecord)), 70000u);
  CellRecord low = Cell(1, 1, 100), high = Cell(1, 1, 69000);
  FindCell(&low);
  FindCell(&high);
  EXPECT_EQ(low.Slot, 99u);
  EXPECT_EQ(high.Slot, kRecordFailed);
  EXPECT_NE(StoreCell(&high), 0);  // never written over another record
  CloseCellDb();
  // A path longer than 100 characters is opened whole.
  std::string folder = "\\Quorvale\\" + std::string(120, 'f');
  ASSERT_TRUE(CreateDirectoryW(Utf8ToWide(folder.c_str()).c_str(), nullptr));
  int index = RecOpen((folder + "\\262.dbc").c_str(), kRecordModeReadWrite);
  ASSERT_GE(index, 0);
  CellRecord one = Cell(1, 1, 1);
  EXPECT_EQ(RecAdd(index, &one, sizeof one, CompareCells), 0);
  RecClose(index);
  EXPECT_EQ(ReadWholeFile(Linux((folder + "\\262.dbc").c_str())).size(), 40u);
}
