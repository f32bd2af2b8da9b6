// The registry helpers and the lines they log at the verbose level.
#include "support/log.h"
#include "support/reg_helpers.h"
#include "test_root.h"

namespace {
class RegHelpersTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    SetLogName("FrxDriver");
    LogSetEnable(2);
  }
  std::string Log() {
    SetLogName("FrxDriver");  // closes (and so flushes) the file
    return ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  }
};
}  // namespace

TEST_F(RegHelpersTest, OpeningAMissingKeyLogsThePathAndTheError) {
  HKEY k;
  EXPECT_EQ(OpenKey(u"Software\\Quorvale\\FerroxDriver", &k), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(Log().find(" Open Existing Key Fail: Software\\Quorvale\\FerroxDriver: 2\r\n"), std::string::npos);
  EXPECT_EQ(OpenKey(u"x", nullptr), -1);
}

TEST_F(RegHelpersTest, CreateKeyTellsCreatedFromOpened) {
  HKEY k;
  ASSERT_EQ(CreateKey(u"Software\\Quorvale\\Gyrolet", &k), ERROR_SUCCESS);
  RegCloseKey(k);
  ASSERT_EQ(CreateKey(u"Software\\Quorvale\\Gyrolet", &k), ERROR_SUCCESS);
  RegCloseKey(k);
  ASSERT_EQ(OpenKey(u"Software\\Quorvale\\Gyrolet", &k), ERROR_SUCCESS);
  RegCloseKey(k);
  std::string log = Log();
  size_t created = log.find(" Created Key: Software\\Quorvale\\Gyrolet\r\n");
  size_t opened = log.find(" Opened Key: Software\\Quorvale\\Gyrolet\r\n");
  ASSERT_NE(created, std::string::npos);
  ASSERT_NE(opened, std::string::npos);
  EXPECT_LT(created, opened);
  EXPECT_NE(log.find(" Open Existing Key: Software\\Quorvale\\Gyrolet: OK\r\n"), std::string::npos);
}

TEST_F(RegHelpersTest, ReadAndWriteLinesFollowTheValueType) {
  HKEY k;
  ASSERT_EQ(CreateKey(u"Software\\Quorvale\\FerroxDriver", &k), ERROR_SUCCESS);
  ASSERT_EQ(WriteDword(k, u"EnableLogs", 1), ERROR_SUCCESS);
  DWORD v = 0;
  ASSERT_EQ(ReadValue(k, u"EnableLogs", &v, 4), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u);
  ASSERT_EQ(WriteString(k, u"Profile1Name", u"Driving"), ERROR_SUCCESS);
  WCHAR name[16];
  ASSERT_EQ(ReadValue(k, u"Profile1Name", name, sizeof name), ERROR_SUCCESS);
  BYTE ports[80] = {0, 0, 0, 0, 5, 1};
  ASSERT_EQ(WriteValue(k, u"PortConfig", REG_BINARY, ports, 80), ERROR_SUCCESS);
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 12;
  t.wDay = 6;
  t.wHour = 23;
  t.wMinute = 45;
  t.wSecond = 12;
  t.wMilliseconds = 120;
  FILETIME ft;
  SystemTimeToFileTime(&t, &ft);
  setenv("TZ", "UTC0", 1);
  tzset();
  ASSERT_EQ(WriteValue(k, u"GpsTime", REG_BINARY, &ft, 8), ERROR_SUCCESS);
  FILETIME back;
  ASSERT_EQ(ReadValue(k, u"GpsTime", &back, 8), ERROR_SUCCESS);
  unsetenv("TZ");
  tzset();
  RegCloseKey(k);
  std::string log = Log();
  for (const char* line : {" Write EnableLogs: 4 bytes, 1\r\n", " Read EnableLogs: 4 bytes, 1\r\n",
                           " Write Profile1Name: 16 bytes, Driving\r\n", " Read Profile1Name: 16 bytes, Driving\r\n",
                           " Write PortConfig: 80 bytes, 0\r\n", " Write GpsTime: 061226 234512.120\r\n",
                           " Read GpsTime: 061226 234512.120\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(RegHelpersTest, FailedReadsAreLoggedEvenWithoutVerbose) {
  HKEY k;
  ASSERT_EQ(CreateKey(u"Software\\Quorvale\\FerroxDriver", &k), ERROR_SUCCESS);
  ASSERT_EQ(WriteString(k, u"Profile1Name", u"ABCDEFGHIJKLMNOPQRST"), ERROR_SUCCESS);
  LogSetEnable(1);
  WCHAR name[16];
  EXPECT_EQ(ReadValue(k, u"Profile1Name", name, 32), ERROR_MORE_DATA);
  DWORD v;
  EXPECT_EQ(ReadValue(k, u"Missing", &v, 4), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadValue(nullptr, u"Missing", &v, 4), -1);
  EXPECT_EQ(WriteValue(nullptr, u"Missing", REG_DWORD, &v, 4), -1);
  RegCloseKey(k);
  std::string log = Log();
  EXPECT_NE(log.find(" Read Profile1Name: 234, 42\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Read Missing: 2, 4\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Write Missing"), std::string::npos);
}

// A number written as text is read as that number; any other text or type leaves the caller's
// default (never the value's raw bytes), fails the read, and is logged once per name and type.
TEST_F(RegHelpersTest, ADwordOfAnotherTypeIsTheNumberInItsTextOrTheDefault) {
  HKEY k;
  ASSERT_EQ(CreateKey(u"Software\\Quorvale\\Frxd", &k), ERROR_SUCCESS);
  ASSERT_EQ(WriteString(k, u"TcpPort", u"10111"), ERROR_SUCCESS);
  ASSERT_EQ(WriteString(k, u"SocketMode", u"1"), ERROR_SUCCESS);  // four bytes, as a dword is
  ASSERT_EQ(WriteString(k, u"AllowWrites", u"yes"), ERROR_SUCCESS);
  BYTE two[2] = {1, 0};
  ASSERT_EQ(WriteValue(k, u"EnableLogs", REG_BINARY, two, sizeof two), ERROR_SUCCESS);
  DWORD port = 10110, mode = 0600, writes = 0, logs = 7;
  EXPECT_EQ(ReadDword(k, u"TcpPort", &port), ERROR_SUCCESS);
  EXPECT_EQ(port, 10111u);
  EXPECT_EQ(ReadDword(k, u"SocketMode", &mode), ERROR_SUCCESS);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(ReadDword(k, u"AllowWrites", &writes), ERROR_INVALID_DATA);
  EXPECT_EQ(writes, 0u);
  EXPECT_EQ(ReadDword(k, u"EnableLogs", &logs), ERROR_INVALID_DATA);
  EXPECT_EQ(logs, 7u);
  EXPECT_EQ(ReadDword(k, u"AllowWrites", &writes), ERROR_INVALID_DATA);
  RegCloseKey(k);
  std::string log = Log();
  EXPECT_NE(log.find("registry value AllowWrites is sz, not dword: 0 used (its default)"), std::string::npos) << log;
  EXPECT_NE(log.find("registry value TcpPort is sz, not dword: 10111 used (the number in its text)"), std::string::npos);
  EXPECT_EQ(log.find("AllowWrites is sz"), log.rfind("AllowWrites is sz")) << "logged twice: " << log;
}
