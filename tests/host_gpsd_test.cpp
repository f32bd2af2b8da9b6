// frxd with the platform GPS API as the only source: the driver reads gpsd through the platform
// library, and the virtual port follows gpsd's positions.
#include "gpsd_fixture.h"
#include "host_fixture.h"
#include "support/fix_record.h"

namespace {

class HostGpsdTest : public WithGpsd<HostTest> {
 protected:
  void SetUp() override {
    WithGpsd::SetUp();
    StartReceiverAndGpsd();
    SourcePort ports[kSourcePorts] = {};
    ports[0] = {0, PORT_ENABLED | PORT_USER, 1, {0, 0}};  // no corrections: gpsd's position as it is
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, reinterpret_cast<BYTE*>(ports), sizeof ports);
    RegCloseKey(k);
    SetDword(MAIN_KEY, u"GpsComPort", 0);
  }
};

}  // namespace

TEST_F(HostGpsdTest, TheVirtualPortFollowsGpsdThroughThePlatformLibrary) {
  pid_t host = StartHost();
  int fd = Connect();
  ASSERT_GE(fd, 0);
  std::string nmea;
  bool found = false;
  for (int i = 0; i < 100 && !found; ++i) {  // up to 20 s
    nmea += Receive(fd, 200);
    size_t rmc = nmea.rfind("$GPRMC");
    found = rmc != std::string::npos && nmea.find("4807.038", rmc) != std::string::npos;
  }
  ASSERT_TRUE(found) << nmea.substr(nmea.size() > 1500 ? nmea.size() - 1500 : 0);
  std::string last = nmea.substr(nmea.rfind("$GPRMC"));
  EXPECT_NE(last.substr(0, last.find('\n')).find("01131.000"), std::string::npos) << last;
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FixRecord raw{};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
  EXPECT_EQ(raw.SourceKind, SOURCE_PLATFORM_API);
  CloseHandle(h);
  close(fd);
  Stop(host);  // the logs are whole once the host has ended
  std::string log = ReadWholeFile(root_ + "/Quorvale/FrxDriverOld.txt") + ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  EXPECT_EQ(log.find("Can't Load Original Gps Library"), std::string::npos);
  EXPECT_NE(log.find("Open Gps Handle"), std::string::npos) << log.substr(0, 3000);
}

namespace {

// frxd with its simulated receiver on COM4:, and a gpsd reading frxd's own virtual port.
class HostGpsdLoopTest : public HostTest {};

}  // namespace

TEST_F(HostGpsdLoopTest, AGpsdReadingTheVirtualPortIsNeverTakenAsASource) {
  SetDword(MAIN_KEY, u"GpsComPort", 0);  // the platform GPS first: its library is surely asked
  int gpsdPort = FreePort();
  SetString(u"Software\\Quorvale\\Gpsd", u"Port", Utf8ToWide(std::to_string(gpsdPort).c_str()).c_str());
  pid_t host = StartHost();
  Spawn({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", std::to_string(gpsdPort), root_ + "/dev/ttyFRX0"});
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int fromReceiver = 0, fromItself = 0;
  for (int i = 0; i < 60; ++i) {  // a minute of the driver's clock
    FixRecord raw{};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
    fromReceiver += raw.SourceKind == 5;  // COM4: is n + 1
    fromItself += raw.SourceKind == SOURCE_PLATFORM_API;
  }
  CloseHandle(h);
  Stop(host);
  EXPECT_EQ(fromItself, 0);
  EXPECT_GT(fromReceiver, 30);
  std::string log = ReadWholeFile(root_ + "/Quorvale/GpsdApi.txt");
  EXPECT_NE(log.find("is this system's own output: not read"), std::string::npos) << log;
}
