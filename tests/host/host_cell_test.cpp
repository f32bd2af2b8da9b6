// The cell service inside frxd: a receiver without a fix, a scripted radio and the lookup server;
// the driver starts the service through frxd and the virtual port carries the cell's position.
#include <fstream>
#include "cell_fixture.h"
#include "host_fixture.h"

namespace {

class HostCellTest : public WithCellService<HostTest> {
 protected:
  std::vector<std::string> ReceiverArgs() override { return {"--no-fix-for", "100000"}; }
  // The radio in cell 262-1-4711-12345, lookups on, frxd started and its NMEA server read until a
  // whole batch from the cell's position has come (its $GPRMC after a $PGRMT "Cell Tower", and
  // its $GPGSV); "" after 30 s without one.
  std::string UntilCellTowerBatch(pid_t* host, int* connection) {
    Radio("wait-radio\noperator 26201\ncell 262 1 4711 12345 0 2\nsignal -80 -113 -51\n");
    SetDword(kCellKey, u"EnableCells", 15);
    *host = StartHost();
    int fd = *connection = Connect();
    if (fd < 0) {
      ADD_FAILURE() << "no NMEA server";
      return "";
    }
    std::string nmea;
    bool came = WaitFor([&] {
      nmea += Receive(fd, 200);
      size_t tower = nmea.find("$PGRMT,Cell Tower");
      return tower != std::string::npos && nmea.rfind("$GPRMC") > tower && nmea.find("$GPGSV", tower) != std::string::npos;
    }, 30);
    EXPECT_TRUE(came) << nmea.substr(nmea.size() > 2000 ? nmea.size() - 2000 : 0) << ServiceLog();
    return came ? nmea : std::string();
  }
};

}  // namespace

TEST_F(HostCellTest, WithoutAFixTheVirtualPortCarriesTheCellTowerPosition) {
  server_.AnswerBody(Found(48137154, 11576124));
  // Registered but not loaded at the host's start: the driver's start activates it through frxd.
  SetDword(u"Services\\Towerkin", u"Flags", 8);
  pid_t host;
  int fd;
  std::string nmea = UntilCellTowerBatch(&host, &fd);
  ASSERT_FALSE(nmea.empty());
  std::string last = nmea.substr(nmea.rfind("$GPRMC"));
  EXPECT_NE(last.find("4808.229"), std::string::npos) << last;
  EXPECT_NE(last.find("01134.567"), std::string::npos) << last;
  EXPECT_NE(nmea.find("$GPGGA,"), std::string::npos);
  std::string gsv = nmea.substr(nmea.rfind("$GPGSV"));
  EXPECT_NE(gsv.substr(0, gsv.find('\n')).find(",85,"), std::string::npos) << gsv;
  // A program reading records gets the cell as their source.
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FixRecord raw{};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
  EXPECT_EQ(got, 344u);
  EXPECT_EQ(raw.SourceKind, SOURCE_CELL_OR_STORED);
  EXPECT_NEAR(raw.Latitude, 48.137154, 1e-4);
  CloseHandle(h);
  // The request the server saw: the binary form for this cell.
  auto requests = server_.Requests();
  ASSERT_FALSE(requests.empty());
  std::string body = requests[0].substr(requests[0].find("\r\n\r\n") + 4);
  ASSERT_EQ(body.size(), 55u);
  EXPECT_EQ(body.substr(31, 4), std::string("\0\0\x30\x39", 4));  // CID 12345
  // The driver's stop at sleep and its status and start at the next wake reach the service in
  // frxd: the service logs each control code.
  close(fd);
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("(Stop)") != std::string::npos; }, 30)) << ServiceLog();
  EXPECT_NE(ServiceLog().find("Ril Stop"), std::string::npos);
  fd = Connect();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(WaitFor([&] {
    std::string log = ServiceLog();
    return log.find("(Status)") != std::string::npos && log.find("(Start)") != std::string::npos;
  }, 30)) << ServiceLog();
  close(fd);
  // The host's side: the driver's activation of the service (its log is whole once it ended).
  Stop(host);
  std::string frxd = ReadWholeFile(root_ + "/Quorvale/Frxd.txt");
  EXPECT_NE(frxd.find("Services\\Towerkin"), std::string::npos) << frxd;
}

TEST_F(HostCellTest, AfterARestartTheCellComesFromTheDatabaseWithoutTheNetwork) {
  server_.AnswerBody(Found(48137154, 11576124));
  Radio("wait-radio\ncell 262 1 4711 12345\nsignal -80 -113 -51\n");
  pid_t host = StartHost();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Web"; }, 30)) << ServiceLog();
  Stop(host);
  server_.AnswerBody("", 404);  // the network answers nothing useful any more
  SetString(kCellKey, u"LastSource", u"");
  StartHost();
  ASSERT_TRUE(WaitFor([&] { return GetString(kCellKey, u"LastSource") == u"Database"; }, 30)) << ServiceLog();
  EXPECT_EQ(GetString(kCellKey, u"Latitude"), u"48.137154");
  EXPECT_EQ(server_.Requests().size(), 1u);
}

TEST_F(HostCellTest, KillingTheHostWhileCellsAreStoredAndTrimmedLeavesASoundDatabase) {
  // A thousand new cells, one every 10 ms of the scaled clock, in a database trimmed at 100.
  std::string script = "wait-radio\n";
  for (int i = 1; i <= 1000; ++i)
    script += "cell 262 1 " + std::to_string(100 + i % 7) + " " + std::to_string(i) + "\nsignal -" +
              std::to_string(60 + i % 40) + " -113 -51\nwait 10\n";
  SetDword(kCellKey, u"MaxCells", 100);
  SetDword(kCellKey, u"EnableCells", 1);  // no lookups: every cell is stored without a position
  Radio(script);
  pid_t host = StartHost();
  std::string text;
  for (int round = 0; round < 5; ++round) {
    usleep(150000 + round * 37000);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " verify 262 2>&1", &text), 0) << text;
    host = StartHost();
  }
  ASSERT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " list 2>&1", &text), 0);
  EXPECT_NE(text.find("262.dbc"), std::string::npos) << text;  // never emptied
}

// An import while the cell service is loaded in frxd: the imported cells have a store of their
// own that the service reads as it is, so the import neither stops nor restarts the service.
TEST_F(HostCellTest, AnImportLeavesTheLoadedServiceAsItIs) {
  SetDword(kCellKey, u"EnableCells", 1);
  SetString(u"Software\\Quorvale\\Radio", u"Backend", u"none");
  pid_t host = StartHost();
  ASSERT_TRUE(WaitFor([&] { return ServiceLog().find("Ril Init Failed") != std::string::npos; }, 30)) << ServiceLog();
  std::string csv = root_ + "/cells.csv", text;
  std::ofstream(csv) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                        "GSM,262,1,2,3,,8.5,50.1,1000,5,1,1290000000,1300000000,0\n";
  std::string before = ServiceLog();
  ASSERT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " import " + csv + " 2>&1", &text), 0) << text;
  EXPECT_EQ(text.find("stopped while the files are written"), std::string::npos) << text;
  std::string after = ServiceLog();
  EXPECT_EQ(after.find("(Stop)", before.size()), std::string::npos) << after.substr(before.size());
  Stop(host);
}

// Offline: a public export imported with ferrox-cells, no lookup configured at all (no host, no
// geolocation service, the lookup bit of EnableCells clear) and no learned file: the serving
// cell's position comes from the imported cells to the virtual port with $PGRMT "Cell Tower".
TEST_F(HostCellTest, AnImportedCellsPositionReachesTheVirtualPortWithoutTheNetwork) {
  std::string csv = root_ + "/cells.csv", text;
  std::ofstream(csv) << "radio,mcc,net,area,cell,unit,lon,lat,range,samples,changeable,created,updated,averageSignal\n"
                        "UMTS,262,1,4711,12346,,11.5,48.1,1000,5,1,1290000000,1300000000,0\n"
                        "GSM,262,1,4711,12345,,11.576124,48.137154,1000,5,1,1290000000,1300000000,0\n";
  ASSERT_EQ(RunCommand(std::string(FERROX_CELLS_TOOL) + " --root " + root_ + " import " + csv + " 2>&1", &text), 0) << text;
  Radio("wait-radio\noperator 26201\ncell 262 1 4711 12345 0 2\nsignal -80 -113 -51\n");
  SetString(kCellKey, u"LookupHost", u"");
  SetDword(kCellKey, u"EnableCells", 11);  // on, with GPS, no lookups
  pid_t host = StartHost();
  int fd = Connect();
  ASSERT_GE(fd, 0);
  std::string nmea;
  bool came = WaitFor([&] {
    nmea += Receive(fd, 200);
    size_t tower = nmea.find("$PGRMT,Cell Tower");
    return tower != std::string::npos && nmea.rfind("$GPRMC") > tower;
  }, 30);
  ASSERT_TRUE(came) << nmea.substr(nmea.size() > 2000 ? nmea.size() - 2000 : 0) << ServiceLog();
  std::string last = nmea.substr(nmea.rfind("$GPRMC"));
  EXPECT_NE(last.find("4808.229"), std::string::npos) << last;
  EXPECT_NE(last.find("01134.567"), std::string::npos) << last;
  EXPECT_EQ(GetString(kCellKey, u"LastSource"), u"Imported");
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_FALSE(FileExists(root_ + "/Quorvale/262.dbc") && ReadWholeFile(root_ + "/Quorvale/262.dbc").size() > 0)
      << "the imported cell was copied into the learned file";
  close(fd);
  Stop(host);
}

// The geolocation service through frxd: a receiver without a fix, the scripted radio's cell, the
// service's HTTPS answer on the virtual port with $PGRMT "Cell Tower".
TEST_F(HostCellTest, TheGeolocationServicesPositionReachesTheVirtualPort) {
  GeolocateService("{\"location\":{\"lat\":51.5,\"lng\":7.25},\"accuracy\":900}");
  pid_t host;
  int fd;
  std::string nmea = UntilCellTowerBatch(&host, &fd);
  ASSERT_FALSE(nmea.empty());
  std::string last = nmea.substr(nmea.rfind("$GPRMC"));
  EXPECT_NE(last.find("5130.000"), std::string::npos) << last;   // 51.5 N
  EXPECT_NE(last.find("00715.000"), std::string::npos) << last;  // 7.25 E
  EXPECT_NE(GeolocateRequests().find("\\\"cellId\\\":12345"), std::string::npos) << GeolocateRequests();
  EXPECT_TRUE(server_.Requests().empty());  // the legacy forms were not needed
  close(fd);
  Stop(host);
}
