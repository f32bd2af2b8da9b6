// The cell service in the test process: its I/O controls, and a scripted radio whose cells are
// published from the lookup server, the database or the driver's GPS position.
#include <chrono>
#include <cstring>
#include <fstream>
#include "cell_service/cell_db.h"
#include "cell_service/service_entry.h"
#include "cell_service/web_lookup.h"
#include <clocale>
#include <cmath>
#include "cell_fixture.h"
#include "fake_modem.h"
#include "platform/ril.h"
#include "platform/service_ioctl.h"

int DistanceRatio(int signal, int minimum, int maximum);
void RadioNotify(DWORD code, const void* data, DWORD size, DWORD param);
int WritePosition(const CellRecord* r, HKEY key);
FILETIME NowFileTime();
extern std::atomic<LONG> g_MaintenanceBusy;

namespace {

class CellServiceTest : public WithCellService<DriverTest> {
 protected:
  void SetUp() override {
    WithCellService::SetUp();
    CreateDirectoryW(u"\\Quorvale", nullptr);
    g_Cells = {500, 13, 0};
  }
  void TearDown() override {
    if (inited_) TWK_Deinit(kServiceContext);
    g_MaintenanceBusy = 0;
    WithCellService::TearDown();
  }
  void Init() {
    ASSERT_EQ(TWK_Init(u"Services\\Towerkin", nullptr), kServiceContext);
    inited_ = true;
  }
  // A ModemManager modem on a bus of the test's own reports `cell`: the service finds it in the
  // cell file (52.5 N), asking no web service.
  // The cell is published from the learned file ("Database") or the imported cells ("Imported").
  void ExpectFoundOffline(const FakeModem::State& cell, const char16_t* source) {
    std::string address = StartPrivateBus();
    ASSERT_FALSE(HasFailure());
    setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
    FakeModem modem(address);
    ASSERT_TRUE(modem.Ready());
    modem.Change(cell);
    LookupServer();
    SetString(u"Software\\Quorvale\\Radio", u"Backend", u"modemmanager");
    Init();
    ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == source; }, 10)) << ServiceLog();
    EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"52.500000");
    EXPECT_TRUE(server_.Requests().empty());
    unsetenv("FERROX_SYSTEM_BUS");
  }
  BOOL Code(DWORD code, const void* in = nullptr, DWORD inLength = 0, void* out = nullptr, DWORD outLength = 0,
            DWORD* actual = nullptr) {
    return TWK_IOControl(kServiceHandle, code, static_cast<BYTE*>(const_cast<void*>(in)), inLength,
                         static_cast<BYTE*>(out), outLength, actual);
  }
  DWORD Status() {
    DWORD running = 99, got = 0;
    EXPECT_TRUE(Code(IOCTL_SERVICE_STATUS, nullptr, 0, &running, 4, &got));
    EXPECT_EQ(got, 4u);
    return running;
  }
  std::string ServiceLog() {
    LogLine(LOG_FLUSH, nullptr);
    return WithCellService::ServiceLog();
  }
  bool inited_ = false;
};

}  // namespace

TEST_F(CellServiceTest, IoControlsAnswerAsTheClientsExpect) {
  SetDword(kCellKey, u"EnableCells", 0);  // loaded without the radio: set not to load again
  Init();
  DWORD keep = 1, flags = 0;
  EXPECT_TRUE(GetDword(u"Services\\Towerkin", u"Keep", &keep) && keep == 0);
  EXPECT_TRUE(GetDword(u"Services\\Towerkin", u"Flags", &flags) && flags == 8);
  // No radio: Start fails with 87 and Status says not running; Stop still succeeds.
  SetLastError(0);
  EXPECT_FALSE(Code(IOCTL_SERVICE_START));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Status(), 0u);
  EXPECT_TRUE(Code(IOCTL_SERVICE_STOP));
  DWORD small = 0, got = 9;
  EXPECT_FALSE(Code(IOCTL_SERVICE_STATUS, nullptr, 0, &small, 3, &got));
  EXPECT_EQ(got, 0u);
  DWORD command = 0x10FF;
  EXPECT_TRUE(Code(IOCTL_SERVICE_CONTROL, &command, 4));
  EXPECT_EQ(ServiceLog().find("Map Towers to GPX"), std::string::npos);  // an unknown command does nothing
  EXPECT_TRUE(Code(IOCTL_SERVICE_CONTROL, &command, 2));                 // a short input maps the towers
  EXPECT_NE(ServiceLog().find("Map Towers to GPX"), std::string::npos);
  EXPECT_TRUE(Code(IOCTL_SERVICE_STARTED));
  for (DWORD code : {IOCTL_SERVICE_DEBUG, IOCTL_SERVICE_HELP, 0x01040054u, 0x12345678u}) {
    SetLastError(0);
    EXPECT_FALSE(Code(code)) << std::hex << code;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  // Install keeps a module name already there and writes the rest.
  SetString(u"Services\\Towerkin", u"Dll", u"Other.dll");
  EXPECT_TRUE(Code(IOCTL_SERVICE_INSTALL));
  EXPECT_EQ(GetString(u"Services\\Towerkin", u"Dll"), u"Other.dll");
  EXPECT_EQ(GetString(u"Services\\Towerkin", u"Prefix"), u"TWK");
  EXPECT_TRUE(GetDword(u"Services\\Towerkin", u"Flags", &flags) && flags == 0);
  // The init context is served like a handle; Close is FALSE even for the valid handle.
  DWORD running = 5;
  EXPECT_TRUE(TWK_IOControl(kServiceContext, IOCTL_SERVICE_STATUS, nullptr, 0, reinterpret_cast<BYTE*>(&running), 4,
                            nullptr));
  EXPECT_EQ(TWK_Open(kServiceContext, 0, 0), kServiceHandle);
  EXPECT_FALSE(TWK_Close(kServiceHandle));
  EXPECT_EQ(TWK_Open(7, 0, 0), 0u);
  // Uninstall removes both keys and the database files.
  std::ofstream(root_ + "/Quorvale/262.dbc") << std::string(40, '\0');
  EXPECT_TRUE(Code(IOCTL_SERVICE_UNINSTALL));
  HKEY k;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Services\\Towerkin", 0, 0, &k), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCellKey, 0, 0, &k), ERROR_SUCCESS);
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262.dbc"));
  EXPECT_NE(ServiceLog().find("Removing: 262.dbc"), std::string::npos);
}

TEST_F(CellServiceTest, TheDistanceRatioFollowsTheSignalAndNeverDividesByZero) {
  EXPECT_EQ(DistanceRatio(-80, -113, -51), 5);
  EXPECT_EQ(DistanceRatio(-40, -113, -51), 1);
  EXPECT_EQ(DistanceRatio(-113, -113, -51), 10);
  EXPECT_EQ(DistanceRatio(-80, -51, -51), 5);  // no range given: the usual one
  EXPECT_EQ(DistanceRatio(-80, 0, 0), 5);
}

TEST_F(CellServiceTest, ShortNotificationsAreIgnored) {
  SetDword(kCellKey, u"EnableCells", 0);
  Init();
  DWORD four = 0xFFFFFFFFu;
  RadioNotify(RIL_NOTIFY_SIGNALQUALITY, &four, sizeof four, 0);  // not a signal reading: nothing read past it
  RadioNotify(RIL_NOTIFY_SYSTEMCHANGED, &four, 2, 0);
  RadioNotify(RIL_NOTIFY_SYSTEMCHANGED, &four, sizeof four, 0);
  LogLine(LOG_FLUSH, nullptr);
  EXPECT_EQ(ServiceLog().find("Notify Signal"), std::string::npos);
  EXPECT_NE(ServiceLog().find("Notify System: UnKnown"), std::string::npos);
}

TEST_F(CellServiceTest, AnOperatorNameFillingItsFieldIsReadToItsEndOnly) {
  // The cell answer lacks the codes; the operator's numeric name fills its 16 characters.
  Radio("wait-radio\noperator 2620112345678901\ncell 0 0 4711 12345\nsignal -80 -113 -51\n");
  Init();
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Now using Cell DB: 262.dbc") != std::string::npos; }, 10))
      << ServiceLog();
  EXPECT_NE(ServiceLog().find("Operator: , , 2620112345678901, 262\r\n"), std::string::npos) << ServiceLog();
}

TEST_F(CellServiceTest, NumbersAreWrittenAndReadWithAPointUnderACommaLocale) {
  // A program (a Qt one, say) may run with a locale whose decimal separator is a comma.
  std::string locales = root_ + "/locale";
  std::string out;
  ASSERT_EQ(RunCommand("mkdir -p " + locales + " && localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 2>&1", &out), 0)
      << "no locale with a comma to test with: " << out;
  setenv("LOCPATH", locales.c_str(), 1);
  ASSERT_TRUE(setlocale(LC_NUMERIC, "de_DE.UTF-8"));
  char probe[16];
  snprintf(probe, sizeof probe, "%.1f", 1.5);
  EXPECT_STREQ(probe, "1,5");
  CellRecord r{};
  r.Cid = 7;
  r.Latitude = 48.137154;
  r.Longitude = -11.5;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCellKey, 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(WritePosition(&r, key), 1);
  RegCloseKey(key);
  LookupResult found{};
  int result = ReadJsonAnswer("{\"latitude\":48.5,\"longitude\":-11.25}", &found);
  setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_EQ(GetString(kCellKey, u"Longitude"), u"-11.500000");
  EXPECT_EQ(result, LOOKUP_FOUND);
  EXPECT_EQ(found.Latitude, 48.5);
  EXPECT_EQ(found.Longitude, -11.25);
}

TEST_F(CellServiceTest, ACellSkippedWhileMaintenanceRunsIsPublishedLater) {
  server_.AnswerBody(Found(48137154, 11576124));
  // The same cell at the same distance twice: the first comes while a maintenance job runs.
  Radio("wait-radio\nwait 1000\ncell 262 1 4711 12345\nsignal -80 -113 -51\nwait 3000\nsignal -80 -113 -51\n");
  g_MaintenanceBusy = 1;
  Init();
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Waiting for Notification") != std::string::npos; }, 10));
  EXPECT_EQ(GetString(kCellKey, u"LastCell"), u"<no value>");
  g_MaintenanceBusy = 0;
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
}

TEST_F(CellServiceTest, ANewCellIsLookedUpPublishedAndStoredThenFoundInTheDatabase) {
  server_.AnswerBody(Found(48137154, 11576124));
  Radio("wait-radio\noperator 26201 Quorvale QV\ncell 262 1 4711 12345\nsignal -80 -113 -51\nwait 3000\n"
        "signal -80 -113 -51\nwait 3000\ncell 262 1 4711 777\nsignal -81 -113 -51\n");
  Init();
  EXPECT_EQ(Status(), 1u);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_EQ(GetString(kCellKey, u"Longitude"), u"11.576124");
  DWORD mcc = 0, count = 0;
  EXPECT_TRUE(GetDword(kCellKey, u"CurMcc", &mcc) && mcc == 262);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Web"; }, 10));  // written last
  EXPECT_EQ(GetString(kCellKey, u"CurrentCell"), u"262-1-4711-12345");
  EXPECT_TRUE(GetDword(kCellKey, u"CellCount", &count) && count == 1);
  // The same cell at the same distance is published once; the next cell is not known to the
  // server and is stored without a position, the last published one staying.
  server_.AnswerBody(std::string(3, '\0') + std::string("\0\0\0\1", 4) + std::string(8, '\0'));
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("CellTower: MCC=262, MNC=1, LAC=4711, CID=777") != std::string::npos; }, 10));
  ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(root_ + "/Quorvale/262.dbc").size() == 80; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"LastCell"), u"12345");
  auto requests = server_.Requests();
  size_t binary = 0;
  for (const auto& r : requests) binary += r.find("POST /glm/mmap") == 0;
  EXPECT_EQ(binary, 2u) << "cell 12345 once, cell 777 once";
}

TEST_F(CellServiceTest, AKnownCellComesFromTheDatabaseAndARecentGpsPositionIsLearned) {
  // Cell 12345 is in the database; the server would answer something else.
  {
    CellRecord r{};
    r.Mnc = 1;
    r.Lac = 4711;
    r.Cid = 12345;
    r.Latitude = 52.5;
    r.Longitude = 13.4;
    std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary).write(reinterpret_cast<const char*>(&r), sizeof r);
  }
  server_.AnswerBody(Found(1000000, 1000000));
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -70 -113 -51\nwait 2000\ncell 262 1 4711 999\nsignal -70 -113 -51\n"
        "wait 8000\ncell 262 1 4711 555\nsignal -70 -113 -51\n");
  Init();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"52.500000");
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Database"; }, 10));
  EXPECT_TRUE(server_.Requests().empty());
  // The driver wrote a GPS position just now: cell 999 learns it and publishes it.
  SetString(kCellKey, u"Latitude", u"50.125000");
  SetString(kCellKey, u"Longitude", u"8.250000");
  FILETIME now;
  SYSTEMTIME st;
  GetSystemTime(&st);
  SystemTimeToFileTime(&st, &now);
  HKEY k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCellKey, 0, 0, &k), ERROR_SUCCESS);
  RegSetValueExW(k, u"LastGpsUpdateTime", 0, REG_BINARY, reinterpret_cast<BYTE*>(&now), sizeof now);
  RegCloseKey(k);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"999"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"50.125000");
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"GPS"; }, 10));
  EXPECT_TRUE(server_.Requests().empty());
  // A GPS time a minute ahead of the clock is no recent fix: cell 555 is looked up instead.
  ULONGLONG ahead = FileTimeToU64(now) + 60ULL * 10000000ULL;
  FILETIME future = U64ToFileTime(ahead);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCellKey, 0, 0, &k), ERROR_SUCCESS);
  RegSetValueExW(k, u"LastGpsUpdateTime", 0, REG_BINARY, reinterpret_cast<BYTE*>(&future), sizeof future);
  RegCloseKey(k);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"555"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"1.000000");
  EXPECT_EQ(server_.Requests().size(), 1u);
  EXPECT_TRUE(WaitFor([&] { return ReadWholeFile(root_ + "/Quorvale/262.dbc").size() == 120; }, 10));  // stored after publishing
}

TEST_F(CellServiceTest, TheModemManagerRadioPublishesTheSameWayFromAFakeModem) {
  std::string address = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  FakeModem modem(address);
  ASSERT_TRUE(modem.Ready());
  LookupServer();
  SetString(u"Software\\Quorvale\\Radio", u"Backend", u"modemmanager");
  server_.AnswerBody(Found(48137154, 11576124));
  Init();
  EXPECT_EQ(Status(), 1u);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_NE(ServiceLog().find("CellTower: MCC=262, MNC=1, LAC=4711, CID=12345"), std::string::npos);
  // The modem moves to an LTE cell with a long id: its tracking area is the LAC, and the
  // lookup takes the long request.
  FakeModem::State lte;
  lte.cellType = 5;
  lte.lac = "";
  lte.tac = "1268";
  lte.ci = "1E240";
  lte.rssi = -95;
  modem.Change(lte);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"123456"; }, 10)) << ServiceLog();
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  std::string body = requests[1].substr(requests[1].find("\r\n\r\n") + 4);
  EXPECT_EQ(body.substr(25, 4), std::string("\0\0\0\5", 4));
  EXPECT_EQ(body.substr(35, 4), std::string("\0\0\x12\x68", 4));  // LAC 4712
  // Without cell information the 3GPP location string serves; without readings, the quality.
  FakeModem::State old;
  old.cellInfo = false;
  old.ci = "2A";
  old.rssi = NAN;
  old.quality = 80;
  modem.Change(old);
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"42"; }, 10)) << ServiceLog();
  EXPECT_NE(ServiceLog().find("Cur=-64, Min=-113, Max=-51"), std::string::npos) << ServiceLog();
  unsetenv("FERROX_SYSTEM_BUS");
}

TEST_F(CellServiceTest, AResumeReadsTheSettingsThatChangedWhileAsleep) {
  Init();
  EXPECT_EQ(g_Cells.MaxCells, 500u);
  TWK_PowerDown(0);
  SetDword(kCellKey, u"MaxCells", 30000);  // set while asleep (by an older import, or the user)
  TWK_PowerUp(0);
  EXPECT_EQ(g_Cells.MaxCells, 30000u);
}

// A stop while a new cell's lookup waits for a server that never answers returns at once: the
// lookup holds no lock of the service and ends with the stop.
TEST_F(CellServiceTest, AStopDuringALookupThatNeverGetsAnAnswerReturnsAtOnce) {
  SetDword(u"Software\\Quorvale\\Internet", u"Timeout", 60000);
  server_.Answer("");
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  Init();
  ASSERT_TRUE(WaitFor([&] { return !server_.Requests().empty(); }, 10)) << ServiceLog();
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Code(IOCTL_SERVICE_STOP));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
  EXPECT_EQ(Status(), 0u);
  EXPECT_TRUE(WaitFor([&] { return ServiceLog().find("Ril Stop") != std::string::npos; }, 5));
  EXPECT_EQ(server_.Requests().size(), 1u);  // the JSON form is not tried after the stop
}

// A cell stored without a position (the server did not know it) is looked up again once the retry
// interval has passed since that lookup, and not before.
TEST_F(CellServiceTest, ACellWithoutPositionIsLookedUpAgainAfterTheRetryInterval) {
  FILETIME now = NowFileTime();
  auto stored = [&](LONG cid, ULONGLONG ago) {
    CellRecord r{};
    r.Mnc = 1;
    r.Lac = 4711;
    r.Cid = cid;
    r.Updated = U64ToFileTime(FileTimeToU64(now) - ago * 10000000ULL);
    return r;
  };
  {
    CellRecord cells[2] = {stored(111, 3600), stored(222, 2 * 86400)};  // sorted by cell id
    std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary).write(reinterpret_cast<const char*>(cells), sizeof cells);
  }
  server_.AnswerBody(Found(48137154, 11576124));
  Radio("wait-radio\ncell 262 1 4711 111\nsignal -70 -113 -51\nwait 2000\ncell 262 1 4711 222\nsignal -70 -113 -51\n");
  Init();
  // Cell 111 was looked up an hour ago: no lookup, nothing published.
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("CID=111") != std::string::npos; }, 10)) << ServiceLog();
  // Cell 222 two days ago: looked up again, published and stored with its position.
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"222"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Web"; }, 10));
  EXPECT_EQ(server_.Requests().size(), 1u);
}

// ModemManager comes after the service started, goes away and comes back with another cell: the
// service follows it each time, publishing again within seconds, and the extended signal
// readings are switched on (Signal.Setup) each time.
TEST_F(CellServiceTest, AModemThatComesLateOrComesBackIsFollowed) {
  std::string address = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  LookupServer();
  SetString(u"Software\\Quorvale\\Radio", u"Backend", u"modemmanager");
  server_.AnswerBody(Found(48137154, 11576124));
  Init();
  EXPECT_EQ(Status(), 1u);  // the bus is there; the modem is waited for
  {
    FakeModem modem(address);
    ASSERT_TRUE(modem.Ready());
    ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 5)) << ServiceLog();
    EXPECT_TRUE(modem.SignalSetUp());
    EXPECT_NE(ServiceLog().find("Cur=-80"), std::string::npos) << ServiceLog();  // the extended reading
  }
  // ModemManager restarts with the modem in another cell.
  FakeModem again(address);
  ASSERT_TRUE(again.Ready());
  FakeModem::State moved;
  moved.ci = "2A";
  again.Change(moved);
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"42"; }, 5)) << ServiceLog();
  EXPECT_TRUE(again.SignalSetUp());
  unsetenv("FERROX_SYSTEM_BUS");
}

// A 5G cell: its OpenCelliD row (24-bit TAC, 36-bit NCI) imported with ferrox-cells, and the same
// cell reported by the modem, are one key: the service finds it offline. An LTE row of the same
// numbers beside it stays another cell.
TEST_F(CellServiceTest, AFiveGCellImportedIsFoundWhenTheModemReportsIt) {
  std::string csv = root_ + "/cells.csv";
  std::ofstream(csv) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                        "NR,262,1,703710,41537105665,,13.4,52.5,1000,5,1,1290000000,1300000000,0\n"  // TAC ABCDE, NCI 9ABCDEF01
                        "LTE,262,1,703710,180150017,,9.0,48.0,1000,5,1,1290000000,1300000000,0\n"      // ECI ABCDF01
                        "NR,262,1,16777216,1,,9.0,48.0,1000,5,1,1290000000,1300000000,0\n";           // TAC beyond 24 bits
  std::string out;
  ASSERT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " import " + csv + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("3 rows: 2 cells taken, 0 outside the filters, 1 refused (area too large 1)"), std::string::npos) << out;
  FakeModem::State nr;
  nr.cellType = 6;
  nr.lac = "";
  nr.tac = "ABCDE";
  nr.ci = "9ABCDEF01";
  ExpectFoundOffline(nr, u"Imported");
}

// A cell the service saw before any import, stored without a position (no lookups): imported
// later, its position comes from the imported cells, not the positionless learned record.
TEST_F(CellServiceTest, ACellLearnedWithoutAPositionIsAnsweredByALaterImport) {
  {
    CellRecord r{};
    r.Mnc = 1;
    r.Lac = 4711;
    r.Cid = 12345;  // no position, its last lookup just now
    SYSTEMTIME now;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &r.Updated);
    CreateDirectoryW(u"\\Quorvale", nullptr);
    std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary).write(reinterpret_cast<const char*>(&r), sizeof r);
  }
  std::string csv = root_ + "/cells.csv", out;
  std::ofstream(csv) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                        "GSM,262,1,4711,12345,,13.4,52.5,1000,5,1,1290000000,1300000000,0\n";
  ASSERT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " import " + csv + " 2>&1", &out), 0) << out;
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  SetString(kCellKey, u"LookupHost", u"");
  SetDword(kCellKey, u"EnableCells", 1);  // no lookups
  Init();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Imported"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"52.500000");
  EXPECT_TRUE(server_.Requests().empty());
}

namespace {

using GeolocateTest = CellServiceTest;

}  // namespace

TEST_F(GeolocateTest, TheGeolocationServiceIsAskedFirstOverHttps) {
  GeolocateService("{\"location\":{\"lat\":51.5,\"lng\":7.25},\"accuracy\":1200}");
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  Init();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"51.500000");
  EXPECT_EQ(GetString(kCellKey, u"Longitude"), u"7.250000");
  std::string asked = GeolocateRequests();
  EXPECT_NE(asked.find("/v1/geolocate?key=KEY"), std::string::npos) << asked;
  EXPECT_NE(asked.find("\\\"mobileCountryCode\\\":262,\\\"mobileNetworkCode\\\":1,\\\"locationAreaCode\\\":4711,"
                       "\\\"cellId\\\":12345,\\\"signalStrength\\\":-80"),
            std::string::npos) << asked;
  EXPECT_NE(ServiceLog().find("accuracy 1200 m"), std::string::npos);
  EXPECT_TRUE(server_.Requests().empty());  // the legacy forms were not needed
}

TEST_F(GeolocateTest, ANotFoundFallsBackToTheLegacyFormsOnlyWhenAHostIsSet) {
  GeolocateService("404");
  server_.AnswerBody(Found(48137154, 11576124));
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");  // sets LookupHost
  Init();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 10)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_FALSE(GeolocateRequests().empty());
  EXPECT_EQ(server_.Requests().size(), 1u);
}

TEST_F(GeolocateTest, ACertificateNoAuthorityVouchesForIsRefused) {
  GeolocateService("{\"location\":{\"lat\":51.5,\"lng\":7.25},\"accuracy\":1200}");
  SetString(u"Software\\Quorvale\\Internet", u"CaFile", u"/nonexistent.pem");
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  SetString(kCellKey, u"LookupHost", u"");  // no legacy forms either
  Init();
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Geolocate: no answer") != std::string::npos; }, 10))
      << ServiceLog();
  EXPECT_TRUE(GeolocateRequests().empty());  // the handshake failed: nothing was sent
  EXPECT_EQ(GetString(kCellKey, u"LastCell"), u"<no value>");
}

TEST_F(GeolocateTest, ANotFoundWithoutALookupHostPublishesNothing) {
  GeolocateService("404");
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  SetString(kCellKey, u"LookupHost", u"");  // no legacy forms
  Init();
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Geolocate: no answer") != std::string::npos; }, 10))
      << ServiceLog();
  EXPECT_FALSE(GeolocateRequests().empty());
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(GetString(kCellKey, u"LastCell"), u"<no value>");
}

// A modem without cell information whose 3GPP location string names a location area beside the
// tracking area (as LTE modems do): the cell is keyed by the tracking area, as the imported LTE
// rows are, and found offline.
TEST_F(CellServiceTest, AnLteCellFromTheLocationStringIsKeyedByItsTrackingArea) {
  {
    CellRecord r{};
    r.Mnc = 1;
    r.Lac = 0x1268;  // the TAC
    r.Cid = 0x1E240;
    r.Latitude = 52.5;
    r.Longitude = 13.4;
    std::ofstream(root_ + "/Quorvale/262.dbc", std::ios::binary).write(reinterpret_cast<const char*>(&r), sizeof r);
  }
  FakeModem::State lte;
  lte.cellInfo = false;  // the location string serves
  lte.lac = "4F1";
  lte.tac = "1268";
  lte.ci = "1E240";
  ExpectFoundOffline(lte, u"Database");
}

// The system bus itself goes (its daemon restarts): the radio connects again and follows the
// modem there, publishing within seconds.
TEST_F(CellServiceTest, ARadioWhoseBusWentConnectsAgain) {
  std::string address = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  pid_t bus = sims_.back();
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  LookupServer();
  SetString(u"Software\\Quorvale\\Radio", u"Backend", u"modemmanager");
  server_.AnswerBody(Found(48137154, 11576124));
  {
    FakeModem modem(address);
    ASSERT_TRUE(modem.Ready());
    Init();
    ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"12345"; }, 5)) << ServiceLog();
    Stop(bus);  // the bus goes, and ModemManager's connection with it
  }
  unlink((root_ + "/bus").c_str());
  ASSERT_EQ(StartPrivateBus(), address);
  FakeModem again(address);
  ASSERT_TRUE(again.Ready());
  FakeModem::State moved;
  moved.ci = "2A";
  again.Change(moved);
  EXPECT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastCell") == u"42"; }, 10)) << ServiceLog();
  unsetenv("FERROX_SYSTEM_BUS");
}
