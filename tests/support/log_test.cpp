// The diagnostic log: switching, verbosity, prefixes, rotation, closing, threads; the time and
// date fields, stamps, differences and setting the clock from the GPS; data files on the card.
#include <sys/stat.h>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>
#include "support/clock.h"
#include "support/data_file.h"
#include "support/log.h"
#include "test_root.h"

namespace {

class LogTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    PlatformSetManualTicks(true, 100000);
    SetLogName("FrxDriver");
  }
  void TearDown() override {
    PlatformSetManualTicks(false, 0);
    PlatformResetClockOffset();
    SetClockBase(0);
    TempRootTest::TearDown();
  }
  std::string LogText() { return ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt"); }
  std::string OldText() { return ReadWholeFile(root_ + "/Quorvale/FrxDriverOld.txt"); }
  void Grow(const std::string& file, long size) {
    std::ofstream f(file, std::ios::binary | std::ios::app);
    f.seekp(0, std::ios::end);
    long have = static_cast<long>(f.tellp());
    if (size > have) f << std::string(static_cast<size_t>(size - have), 'x');
  }
};

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) { return MakeTime(y, mo, d, h, mi, s, ms); }

}  // namespace

TEST_F(LogTest, NothingIsWrittenWhileLogsAreOff) {
  LogSetEnable(0);
  EXPECT_EQ(LogLine(LOG_CRLF | LOG_NEWFILE, "FerroxDriver Startup"), 0);
  LogPrintf(LOG_CRLF, "Port %d Enabled", 4);
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/FrxDriver.txt"));
}

TEST_F(LogTest, VerboseLinesOnlyAtLevelTwo) {
  LogSetEnable(1);
  EXPECT_EQ(LogLine(LOG_CRLF, "normal"), 1);
  EXPECT_EQ(LogLine(LOG_CRLF | LOG_VERBOSE, "detail one"), 0);
  LogSetEnable(2);
  EXPECT_EQ(LogLine(LOG_CRLF | LOG_VERBOSE | LOG_FLUSH, "detail two"), 1);
  std::string text = LogText();
  EXPECT_NE(text.find("normal\r\n"), std::string::npos);
  EXPECT_EQ(text.find("detail one"), std::string::npos);
  EXPECT_NE(text.find("detail two\r\n"), std::string::npos);
}

TEST_F(LogTest, PrefixCountsMillisecondsFromTheStartOfTheFile) {
  LogSetEnable(1);
  ASSERT_EQ(LogLine(LOG_CRLF | LOG_NEWFILE, "FerroxDriver Startup"), 1);
  PlatformAdvanceTicks(5123);
  LogLine(LOG_CRLF, "five");
  PlatformAdvanceTicks(123456 - 5123);
  LogLine(LOG_CRLF | LOG_TAB, "tabbed");
  LogPrintf(LOG_CRLF | LOG_CLOSE, "Comm Init: %s %s", "Driver Version 3.19", Utf8Of(u"COM8:").text);
  std::string text = LogText();
  EXPECT_NE(text.find("\r\n 000.000 FerroxDriver Startup\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 005.123 five\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 123.456\ttabbed\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" 123.456 Comm Init: Driver Version 3.19 COM8:\r\n"), std::string::npos) << text;
  // The header line is a stamp of now: ddmmyy hhmmss.sss
  EXPECT_TRUE(std::regex_search(text, std::regex("^\\d{6} \\d{6}\\.\\d{3}\r\n")));
}

TEST_F(LogTest, RotationPastTheLimitKeepsOneOldFileAndTheTickBase) {
  LogSetEnable(1);
  LogLine(LOG_CRLF | LOG_NEWFILE | LOG_CLOSE, "first file");
  std::string path = root_ + "/Quorvale/FrxDriver.txt";
  Grow(path, 256000);
  PlatformAdvanceTicks(2000);
  LogLine(LOG_CRLF | LOG_CLOSE, "at the limit");  // 256000 is not beyond the limit
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/FrxDriverOld.txt"));
  Grow(path, 256100);
  LogLine(LOG_CRLF | LOG_CLOSE, "after rotation");
  ASSERT_TRUE(FileExists(root_ + "/Quorvale/FrxDriverOld.txt"));
  EXPECT_NE(OldText().find("at the limit"), std::string::npos);
  std::string text = LogText();
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d{6} \\d{6}\\.\\d{3}\r\n 002\\.000 after rotation\r\n"))) << text;
  // A second rotation replaces the old file.
  Grow(path, 300000);
  LogLine(LOG_CRLF | LOG_CLOSE, "third");
  EXPECT_EQ(OldText().size(), 300000u);
  EXPECT_NE(LogText().find("third"), std::string::npos);
}

TEST_F(LogTest, VerboseLevelRaisesTheLimitTenfold) {
  LogSetEnable(2);
  LogLine(LOG_CRLF | LOG_NEWFILE | LOG_CLOSE, "start");
  std::string path = root_ + "/Quorvale/FrxDriver.txt";
  Grow(path, 256001);
  LogLine(LOG_CRLF | LOG_CLOSE, "still here");
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/FrxDriverOld.txt"));
  Grow(path, 2560001);
  LogLine(LOG_CRLF | LOG_CLOSE, "rotated");
  EXPECT_TRUE(FileExists(root_ + "/Quorvale/FrxDriverOld.txt"));
  EXPECT_LT(LogText().size(), 100u);
}

TEST_F(LogTest, StartupLineAlwaysBeginsAFreshFile) {
  LogSetEnable(1);
  LogLine(LOG_CRLF | LOG_NEWFILE, "run one");
  LogLine(LOG_CRLF | LOG_NEWFILE | LOG_FLUSH, "run two");
  EXPECT_NE(OldText().find("run one"), std::string::npos);
  EXPECT_EQ(LogText().find("run one"), std::string::npos);
  EXPECT_NE(LogText().find("run two"), std::string::npos);
}

TEST_F(LogTest, SwitchingLogsOffWritesTheWholeNextLineThenCloses) {
  LogSetEnable(1);
  LogLine(LOG_CRLF, "open");
  LogSetEnable(0);
  LogPrintf(LOG_CRLF, "Last %s", "words");
  LogLine(LOG_CRLF, "never");
  std::string text = LogText();
  EXPECT_NE(text.find(" Last words\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("never"), std::string::npos);
}

TEST_F(LogTest, ConcurrentWritersKeepPrefixAndTextTogether) {
  LogSetEnable(1);
  LogLine(LOG_CRLF | LOG_NEWFILE, "start");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 300; ++i) {
        if (i % 2) LogPrintf(LOG_CRLF, "thread %d line %d", t, i);
        else LogLine(LOG_CRLF | LOG_TAB, "plain line");
      }
    });
  for (auto& th : threads) th.join();
  LogLine(LOG_CRLF | LOG_CLOSE, "end");
  std::string text = LogText();
  std::regex good("( \\d{3}\\.\\d{3} (thread \\d line \\d+|start|end)| \\d{3}\\.\\d{3}\tplain line)");
  size_t pos = text.find("\r\n") + 2, lines = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(pos, end - pos);
    ASSERT_TRUE(std::regex_match(line, good)) << line;
    pos = end + 2;
    ++lines;
  }
  EXPECT_EQ(lines, 1202u);
}

TEST(TimeFields, NmeaTimeAndDateFields) {
  char out[16];
  SYSTEMTIME t = Make(2026, 12, 6, 12, 3, 4, 5);
  TimeField(&t, out);
  EXPECT_STREQ(out, "120304.005");
  DateField(&t, out);
  EXPECT_STREQ(out, "061226");
  // Empty fields take those of now.
  SYSTEMTIME zero{};
  TimeField(&zero, out);
  EXPECT_EQ(strlen(out), 10u);
  EXPECT_STRNE(out, "000000.000");
  DateField(&zero, out);
  EXPECT_STRNE(out, "000000");
  // Midnight with a date is still midnight of that date: only all-zero time fields mean now.
  SYSTEMTIME oneMs = Make(2026, 1, 2, 0, 0, 0, 1);
  TimeField(&oneMs, out);
  EXPECT_STREQ(out, "000000.001");
}

TEST(TimeFields, StampIsLocalTime) {
  setenv("TZ", "UTC0", 1);
  tzset();
  SYSTEMTIME t = Make(2026, 12, 6, 23, 45, 12, 120);
  EXPECT_STREQ(StampSystemTime(&t), "061226 234512.120\r\n");
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  EXPECT_STREQ(StampFileTime(&ft), "061226 234512.120");
  setenv("TZ", "XST-01", 1);
  tzset();
  EXPECT_STREQ(StampFileTime(&ft), "071226 004512.120");
  unsetenv("TZ");
  tzset();
}

TEST(TimeFields, DifferencesWithAndWithoutDates) {
  SYSTEMTIME a = Make(2026, 12, 6, 23, 59, 59, 500), b = Make(2026, 12, 7, 0, 0, 1, 0), none{};
  EXPECT_EQ(TimeDifference(&a, &b), 1500);
  EXPECT_EQ(TimeDifference(&b, &a), -1500);
  EXPECT_EQ(TimeDifference(&none, &none), 0);
  EXPECT_EQ(TimeDifference(&none, &b), 0x7FFFFFFF);
  EXPECT_EQ(static_cast<DWORD>(TimeDifference(&a, &none)), 0x80000000u);
  SYSTEMTIME far = Make(2100, 1, 1, 0, 0, 0, 0);
  EXPECT_EQ(TimeDifference(&a, &far), 2147483647);
  EXPECT_EQ(TimeDifference(&far, &a), -2147483647);
  AddMilliseconds(&a, 1500);
  EXPECT_EQ(a.wDay, 7);
  EXPECT_EQ(a.wSecond, 1);
  EXPECT_EQ(a.wMilliseconds, 0);
  AddMilliseconds(&a, -86400000);
  EXPECT_EQ(a.wDay, 6);
}

TEST_F(LogTest, GpsHalfASecondAheadOnlyMovesTheLogClock) {
  ResyncClock();
  SYSTEMTIME sys, gps;
  GetSystemTime(&sys);
  gps = sys;
  AddMilliseconds(&gps, 500);
  DWORD tick = GetTickCount();
  SetClockFromGps(&gps, tick, nullptr);
  EXPECT_EQ(PlatformClockOffsetMs(), 0);
  SYSTEMTIME now;
  ClockNow(&now);
  EXPECT_EQ(TimeDifference(&gps, &now), 0);  // the log clock follows the GPS
}

TEST_F(LogTest, GpsOneAndAHalfSecondsAheadSetsTheClockAtTheNextWholeSecond) {
  ResyncClock();
  SYSTEMTIME sys, gps;
  GetSystemTime(&sys);
  gps = sys;
  AddMilliseconds(&gps, 1500);
  DWORD tick = GetTickCount();
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  PlatformSetTimeScale(20);  // the wait for the next whole second stays short
  SetClockFromGps(&gps, tick, e);
  PlatformSetTimeScale(1);
  CloseHandle(e);
  SYSTEMTIME expected = gps;
  expected.wMilliseconds = 0;
  AddMilliseconds(&expected, 1000);
  SYSTEMTIME now;
  GetSystemTime(&now);  // the manual clock has not moved: now is exactly what was set
  EXPECT_EQ(TimeDifference(&expected, &now), 0);
  EXPECT_GT(PlatformClockOffsetMs(), 1000);
}

TEST_F(LogTest, GpsBehindNeverSetsTheClockBack) {
  ResyncClock();
  SYSTEMTIME sys, gps;
  GetSystemTime(&sys);
  gps = sys;
  AddMilliseconds(&gps, -5000);
  SetClockFromGps(&gps, GetTickCount(), nullptr);
  EXPECT_EQ(PlatformClockOffsetMs(), 0);
}

TEST_F(LogTest, DataFilesOpenOnTheFirstCardThatHasAFolder) {
  WCHAR path[MAX_PATH];
  EXPECT_EQ(OpenDataFile(path, "AltitudeTable_1.RAW", TRUE), nullptr);
  EXPECT_EQ(path[0], 0);
  SetString(u"\\System\\StorageManager\\Profiles\\SDMemory", u"Folder", u"Storage Card");
  EXPECT_EQ(OpenDataFile(path, "track.gpx", FALSE), nullptr);  // no card inserted
  mkdir((root_ + "/Storage Card").c_str(), 0755);
  FILE* f = OpenDataFile(path, "track.gpx", FALSE);
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(std::u16string(path), u"\\Storage Card\\Quorvale\\track.gpx");
  EXPECT_TRUE(FileExists(root_ + "/Storage Card/Quorvale/track.gpx"));
  f = OpenDataFile(path, "track.gpx", TRUE);
  ASSERT_NE(f, nullptr);
  fclose(f);
  // INAND comes first when it has a folder.
  SetString(u"\\System\\StorageManager\\Profiles\\INAND", u"Folder", u"My Storage");
  mkdir((root_ + "/My Storage").c_str(), 0755);
  f = OpenDataFile(path, "x.csv", FALSE);
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(std::u16string(path), u"\\My Storage\\Quorvale\\x.csv");
}

TEST_F(LogTest, AnOverlongFolderValueIsCutNotOverrun) {
  std::u16string longName(400, u'F');
  SetString(u"\\System\\StorageManager\\Profiles\\SDMemory", u"Folder", longName.c_str());
  WCHAR path[MAX_PATH];
  FILE* f = OpenDataFile(path, "x.csv", FALSE);
  if (f) fclose(f);
  EXPECT_LT(WideLen(path), static_cast<size_t>(MAX_PATH));
}
