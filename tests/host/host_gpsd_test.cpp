// frxd with the platform GPS API as the only source: the driver reads gpsd through the platform
// library, and the virtual port follows gpsd's positions.
#include "gpsd_fixture.h"
#include "host_fixture.h"
#include <cmath>
#include <fstream>
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

// frxd with its simulated receiver on COM4: (writing its true positions), and a gpsd reading frxd's
// own virtual port offered to the driver as source 0.
class HostGpsdLoopTest : public HostTest {
 protected:
  std::vector<std::string> ReceiverArgs() override {
    return {"--speed", "50", "--heading", "90", "--truth", root_ + "/truth.txt"};
  }
  // The true position at a time of day "hhmmss.sss" (the simulator writes one every 100 ms).
  bool Truth(const std::string& time, double* lat, double* lon) {
    std::ifstream in(root_ + "/truth.txt");
    std::string iso;
    double la, lo;
    std::string want = time.substr(0, 2) + ":" + time.substr(2, 2) + ":" + time.substr(4, 4);  // hh:mm:ss.s
    while (in >> iso >> la >> lo)
      if (iso.size() > 21 && iso.compare(11, 10, want) == 0) {
        *lat = la;
        *lon = lo;
        return true;
      }
    return false;
  }
};

double Degrees(double nmea) { return std::floor(nmea / 100) + std::fmod(nmea, 100) / 60; }

}  // namespace

TEST_F(HostGpsdLoopTest, AGpsdReadingTheVirtualPortIsNeverTakenAsASource) {
  // COM4: without corrections, so that its fixes go out as the receiver sent them; the platform
  // GPS first, so that its library is surely asked.
  SourcePort ports[kSourcePorts] = {};
  ports[0] = {0, PORT_ENABLED | PORT_USER, 1, {0, 0}};
  ports[4] = {0, PORT_ENABLED | PORT_USER, 2, {0, 0}};
  HKEY k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
  RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, reinterpret_cast<BYTE*>(ports), sizeof ports);
  RegCloseKey(k);
  SetDword(MAIN_KEY, u"GpsComPort", 0);
  int gpsdPort = FreePort();
  SetString(u"Software\\Quorvale\\Gpsd", u"Port", Utf8ToWide(std::to_string(gpsdPort).c_str()).c_str());
  pid_t host = StartHost();
  Spawn({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", std::to_string(gpsdPort), root_ + "/dev/ttyFRX0"});
  int fd = Connect();
  ASSERT_GE(fd, 0);
  // A minute of the driver's clock: every position within 5 m of the simulator's truth (a driver
  // reading its own output back would lag behind it by its latency: 14 m a second at 50 km/h).
  std::string nmea;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) nmea += Receive(fd, 200);
  close(fd);
  int compared = 0;
  double worst = 0;
  for (size_t at = nmea.find("$GPRMC,"); at != std::string::npos; at = nmea.find("$GPRMC,", at + 1)) {
    char time[16], status;
    double la, lo, lat, lon;
    if (sscanf(nmea.c_str() + at, "$GPRMC,%15[^,],%c,%lf,N,%lf,E", time, &status, &la, &lo) != 4 || status != 'A')
      continue;
    if (!Truth(time, &lat, &lon)) continue;
    double metres = std::hypot((Degrees(la) - lat) * 111195, (Degrees(lo) - lon) * 111195 * std::cos(lat * M_PI / 180));
    worst = std::max(worst, metres);
    ++compared;
  }
  Stop(host);
  EXPECT_GT(compared, 30);
  EXPECT_LT(worst, 5.0) << compared << " positions compared";
  std::string log = ReadWholeFile(root_ + "/Quorvale/GpsdApi.txt");
  EXPECT_NE(log.find("is this system's own output: not read"), std::string::npos) << log;
}
