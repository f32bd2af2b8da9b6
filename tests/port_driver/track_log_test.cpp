// Track logs: what is written where, and the shape of the files.
#include <signal.h>
#include <sys/resource.h>
#include <cmath>
#include <fstream>
#include <filesystem>
#include <thread>
#include <vector>
#include "fix_builder.h"
#include "port_driver/fix_pipeline.h"
#include "settings_store/settings.h"
#include "track_log.h"
#include "test_root.h"

namespace {

class TrackLogTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetDriverSettings();
    SetString(u"\\System\\StorageManager\\Profiles\\SDMemory", u"Folder", u"Storage Card");
    std::filesystem::create_directories(root_ + "/Storage Card");
  }
  void TearDown() override {
    CloseTrackLogs();
    TempRootTest::TearDown();
  }
  std::string File(const char* name) { return ReadWholeFile(root_ + "/Storage Card/Quorvale/" + name); }
  bool Has(const char* name) { return FileExists(root_ + "/Storage Card/Quorvale/" + name); }
};

}  // namespace

TEST_F(TrackLogTest, PointsLinesAndTheClosingTags) {
  FixRecord f = GoodFix(Utc(23, 59, 59, 900), 48.1173, -11.5, 36, 90);
  f.AltitudeSeaLevel = 545.4f;
  WriteTrackPoint(&f, TRACK_OUT);
  FixRecord zero = GoodFix(Utc(23, 59, 59, 900), 0, 0, 0, 0);
  WriteTrackPoint(&zero, TRACK_OUT);
  CloseTrackLogs();
  std::string gpx = File("FrxDriverOut.gpx");
  EXPECT_EQ(gpx.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n<gpx xmlns=", 0), 0u);
  EXPECT_NE(gpx.find("    <name>FrxDriver_Out</name>\r\n"), std::string::npos);
  EXPECT_NE(gpx.find("      <trkpt lat=\"48.117300\" lon=\"-11.500000\">\r\n        <ele>545.4</ele>\r\n"
                     "        <time>2026-12-06T23:59:59Z</time>\r\n      </trkpt>\r\n"),
            std::string::npos)
      << gpx;
  EXPECT_EQ(gpx.find("lat=\"0.000000\""), std::string::npos);  // no point without position
  EXPECT_EQ(gpx.substr(gpx.size() - 35), "    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n");
  std::string csv = File("FrxDriverOut.csv");
  EXPECT_EQ(csv.rfind("\"SysTime\",\"GpsTime\",\"Heading\",\"Speed\",\"Lat\",\"Lon\",\"Compass\",\"MagVar\"\r\n", 0), 0u);
  EXPECT_NE(csv.find(",235959.900,90.0,36.0,48.117300,-11.500000,0.0,0.0\r\n"), std::string::npos) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
  // The next wake adds a segment and more lines; the earlier trip stays.
  WriteTrackPoint(&f, TRACK_OUT);
  CloseTrackLogs();
  std::string again = File("FrxDriverOut.gpx");
  EXPECT_EQ(again.rfind(gpx.substr(0, gpx.size() - 35), 0), 0u);
  EXPECT_NE(again.find("    </trkseg>\r\n    <trkseg>\r\n      <trkpt lat=\"48.117300\""), std::string::npos) << again;
  EXPECT_EQ(again.substr(again.size() - 35), "    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n");
  std::string csvAgain = File("FrxDriverOut.csv");
  EXPECT_EQ(csvAgain.rfind(csv, 0), 0u);
  EXPECT_EQ(std::count(csvAgain.begin(), csvAgain.end(), '\n'), 4);
}

TEST_F(TrackLogTest, TheGpxIsWholeAfterEveryPointAndTakesOnlyPlottablePoints) {
  FixRecord f = GoodFix(Utc(12, 0, 0), 48.1, 11.5, 36, 90);
  WriteTrackPoint(&f, TRACK_OUT);  // not closed: as a crash leaves it
  std::string gpx = File("FrxDriverOut.gpx");
  EXPECT_EQ(gpx.substr(gpx.size() - 35), "    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n");
  for (double bad : {static_cast<double>(NAN), static_cast<double>(INFINITY), 91.0}) {
    FixRecord b = GoodFix(Utc(12, 0, 1), bad, 11.5, 36, 90);
    WriteTrackPoint(&b, TRACK_OUT);
  }
  FixRecord far = GoodFix(Utc(12, 0, 2), 48.1, 200, 36, 90);
  WriteTrackPoint(&far, TRACK_OUT);
  WriteTrackPoint(&f, TRACK_OUT);
  gpx = File("FrxDriverOut.gpx");
  EXPECT_EQ(gpx.find("nan"), std::string::npos);
  EXPECT_EQ(gpx.find("inf"), std::string::npos);
  size_t points = 0;
  for (size_t p = gpx.find("<trkpt"); p != std::string::npos; p = gpx.find("<trkpt", p + 1)) ++points;
  EXPECT_EQ(points, 2u);
  EXPECT_EQ(gpx.substr(gpx.size() - 35), "    </trkseg>\r\n  </trk>\r\n\r\n</gpx>\r\n");
  EXPECT_EQ(std::count(gpx.begin(), gpx.end(), '<'), std::count(gpx.begin(), gpx.end(), '>'));
  CloseTrackLogs();
  EXPECT_EQ(File("FrxDriverOut.gpx"), gpx);  // closing adds nothing: it was whole
}

TEST_F(TrackLogTest, TheInDirectionOnlyAtLevelTwo) {
  FixRecord f = GoodFix(Utc(12, 0, 0), 48.1, 11.5, 0, 0);
  g_System.EnableTrack = 1;
  ProcessParsedFix(&f);
  EXPECT_FALSE(Has("FrxDriverIn.csv"));
  g_System.EnableTrack = 2;
  f = GoodFix(Utc(12, 0, 1), 48.1, 11.5, 0, 0);
  ProcessParsedFix(&f);
  CloseTrackLogs();
  EXPECT_TRUE(Has("FrxDriverIn.csv"));
  EXPECT_NE(File("FrxDriverIn.gpx").find("<name>FrxDriver_In</name>"), std::string::npos);
  EXPECT_EQ(WriteTrackCsv(&f, 7), 1);  // above 1 counts as Out
  CloseTrackLogs();
  EXPECT_TRUE(Has("FrxDriverOut.csv"));
}

TEST_F(TrackLogTest, ConcurrentChannelsDoNotInterleaveLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        FixRecord f = GoodFix(Utc(12, 0, 0), 10 + t, 20 + i * 0.001, 1, 2);
        WriteTrackPoint(&f, TRACK_OUT);
      }
    });
  for (auto& th : threads) th.join();
  CloseTrackLogs();
  std::string csv = File("FrxDriverOut.csv");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 801);
  std::string gpx = File("FrxDriverOut.gpx");
  size_t points = 0;
  for (size_t p = gpx.find("<trkpt"); p != std::string::npos; p = gpx.find("<trkpt", p + 1)) ++points;
  EXPECT_EQ(points, 800u);
}

TEST_F(TrackLogTest, WithoutACardNothingIsWritten) {
  std::filesystem::remove_all(root_ + "/Storage Card");
  FixRecord f = GoodFix(Utc(12, 0, 0), 48.1, 11.5, 0, 0);
  EXPECT_EQ(WriteTrackCsv(&f, TRACK_OUT), 0);
  WriteTrackPoint(&f, TRACK_OUT);
  CloseTrackLogs();
}

namespace {

// Whether xmllint finds `path` a well-formed document (it must be installed: no check passes without it).
bool WellFormed(const std::string& path) {
  std::string out;
  int status = RunCommand("xmllint --noout '" + path + "' 2>&1", &out);
  EXPECT_NE(status, 127) << "xmllint is not installed";
  return status == 0;
}

struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit now = old;
    now.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &now);
    previous = signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);
  }
  rlimit old{};
  sighandler_t previous;
};

}  // namespace

TEST_F(TrackLogTest, AFullDiskSkipsPointsAndRowsWholeAndTheNextWakeGoesOn) {
  const std::string gpx = root_ + "/Storage Card/Quorvale/FrxDriverOut.gpx";
  const std::string csv = root_ + "/Storage Card/Quorvale/FrxDriverOut.csv";
  FixRecord f = GoodFix(Utc(12, 0, 0, 0), 48.1, 11.5, 36, 90);
  // A first wake whose header finds no room: nothing half-written stays.
  {
    FileSizeLimit limit(100);
    WriteTrackPoint(&f, TRACK_OUT);
  }
  EXPECT_LT(File("FrxDriverOut.gpx").size(), 100u);
  CloseTrackLogs();
  for (int i = 0; i < 3; ++i) WriteTrackPoint(&f, TRACK_OUT);
  ASSERT_TRUE(WellFormed(gpx)) << File("FrxDriverOut.gpx");
  // The disk fills up after about two more points: the rest are skipped, the files stay whole.
  {
    FileSizeLimit limit(File("FrxDriverOut.gpx").size() + 300);
    for (int i = 0; i < 10; ++i) WriteTrackPoint(&f, TRACK_OUT);
  }
  EXPECT_TRUE(WellFormed(gpx)) << File("FrxDriverOut.gpx");
  std::string rows = File("FrxDriverOut.csv");
  EXPECT_EQ(rows.back(), '\n');
  // Space is back: the next wake adds a segment to the same whole document.
  CloseTrackLogs();
  WriteTrackPoint(&f, TRACK_OUT);
  CloseTrackLogs();
  std::string after = File("FrxDriverOut.gpx");
  EXPECT_TRUE(WellFormed(gpx)) << after;
  EXPECT_NE(after.find("    </trkseg>\r\n    <trkseg>\r\n"), std::string::npos);
  size_t points = 0;
  for (size_t at = after.find("<trkpt"); at != std::string::npos; at = after.find("<trkpt", at + 1)) ++points;
  EXPECT_GE(points, 5u);
  EXPECT_LT(points, 14u);
  rows = File("FrxDriverOut.csv");
  EXPECT_EQ(rows.rfind("\"SysTime\"", 0), 0u);
  for (size_t at = 0, end; (end = rows.find("\r\n", at)) != std::string::npos; at = end + 2)
    EXPECT_TRUE(at == 0 || std::count(rows.begin() + at, rows.begin() + end, ',') == 7) << rows.substr(at, end - at);
  // A track an older version left cut short is repaired at the next open.
  std::string cut = after.substr(0, after.rfind("      </trkpt>") + 20);
  std::ofstream(gpx, std::ios::binary | std::ios::trunc) << cut;
  WriteTrackPoint(&f, TRACK_OUT);
  CloseTrackLogs();
  EXPECT_TRUE(WellFormed(gpx)) << File("FrxDriverOut.gpx");
}
