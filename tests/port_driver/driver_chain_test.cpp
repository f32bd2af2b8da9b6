// The whole chain: ferrox-sim on a pseudo-terminal -> the driver's serial source -> channel reads.
#include <cmath>
#include <fstream>
#include <sstream>
#include "driver_fixture.h"
#include "driver_internal.h"
#include "platform/serial.h"

namespace {

class DriverChainTest : public DriverTest {
 protected:
  std::string Link(const char* name) { return root_ + "/" + name; }
  // The ports table: COM3 at order 1 and COM4 at order 2, both with corrections.
  void PortsThreeAndFour() {
    SourcePort ports[kSourcePorts] = {};
    ports[3] = {0, PORT_ENABLED | PORT_FIX | PORT_USER, 1, {0, 0}};
    ports[4] = {0, PORT_ENABLED | PORT_FIX | PORT_USER, 2, {0, 0}};
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, reinterpret_cast<BYTE*>(ports), 80);
    RegCloseKey(k);
  }
  static bool RmcPosition(const std::string& batch, double* lat, double* lon) {
    size_t p = batch.find("$GPRMC,");
    if (p == std::string::npos) return false;
    char status;
    double la, lo;
    char ns, ew;
    if (sscanf(batch.c_str() + p, "$GPRMC,%*[^,],%c,%lf,%c,%lf,%c", &status, &la, &ns, &lo, &ew) != 5) return false;
    if (status != 'A') return false;
    *lat = std::floor(la / 100) + std::fmod(la, 100) / 60;
    *lon = std::floor(lo / 100) + std::fmod(lo, 100) / 60;
    if (ns == 'S') *lat = -*lat;
    if (ew == 'W') *lon = -*lon;
    return true;
  }
  bool Using(LONG port) {
    return WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == port; }, 20);
  }
};

}  // namespace

TEST_F(DriverChainTest, SimulatedReceiverToChannelReads) {
  MapPort(4, Link("gps4"));
  std::string truth = root_ + "/truth.txt";
  Simulate(Link("gps4"), {"--speed", "50", "--heading", "90", "--truth", truth});
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(Using(4));
  double lastLon = 0;
  int fixes = 0;
  for (int i = 0; i < 12 && fixes < 6; ++i) {
    std::string batch = ReadBatch(h);
    int sentences = 0;
    ASSERT_TRUE(ChecksumsRight(batch, &sentences)) << batch;
    double lat, lon;
    if (!RmcPosition(batch, &lat, &lon)) continue;
    EXPECT_NEAR(lat, 48.137, 0.0005);
    EXPECT_GT(lon, lastLon);  // moving east
    lastLon = lon;
    ++fixes;
    EXPECT_NE(batch.find("$PGRMT,Frx COM4,"), std::string::npos) << batch;
  }
  EXPECT_GE(fixes, 5);
  // The reported position follows the route: compare with the truth at the time of reading.
  std::string batch = ReadBatch(h);
  double lat, lon;
  ASSERT_TRUE(RmcPosition(batch, &lat, &lon));
  SYSTEMTIME now;
  GetSystemTime(&now);
  char stamp[64];
  snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  std::ifstream in(truth);
  std::string line, best;
  while (std::getline(in, line))
    if (line.compare(0, 19, stamp) <= 0) best = line;
  ASSERT_FALSE(best.empty());
  double tlat = 0, tlon = 0;
  sscanf(best.c_str(), "%*s %lf %lf", &tlat, &tlon);
  double metres = std::hypot((lat - tlat) * 111195, (lon - tlon) * 111195 * std::cos(tlat * M_PI / 180));
  EXPECT_LT(metres, 60) << batch << best;
  std::string log = Log();
  EXPECT_NE(log.find("GPSOpenDevice Returned"), std::string::npos);  // no platform GPS here: source 0 is passed over
  EXPECT_NE(log.find("Now Using Port 4"), std::string::npos);
}

TEST_F(DriverChainTest, UnpluggedReceiverGivesTheFallbackAndIsFoundAgain) {
  MapPort(4, Link("gps4"));
  pid_t sim = Simulate(Link("gps4"));
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(Using(4));
  double lat = 0, lon = 0;
  ASSERT_TRUE(WaitFor([&] { return RmcPosition(ReadBatch(h), &lat, &lon); }));
  Stop(sim);  // unplugged
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) < 0; }));
  std::string fallback = ReadBatch(h);
  EXPECT_TRUE(ChecksumsRight(fallback));
  double flat, flon;
  if (RmcPosition(fallback, &flat, &flon)) {
    EXPECT_NEAR(flat, lat, 0.001);
  }
  Simulate(Link("gps4"));  // plugged in again: the scan thread finds it
  ASSERT_TRUE(Using(4));
  ASSERT_TRUE(WaitFor([&] { return RmcPosition(ReadBatch(h), &lat, &lon); }));
  std::string log = Log();
  EXPECT_TRUE(log.find("Exit DoReadComPort on Readfile FAILED") != std::string::npos ||
              log.find("WaitCommEvent returned zero") != std::string::npos)
      << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  EXPECT_NE(log.find("No Valid Ports Are found"), std::string::npos);
}

TEST_F(DriverChainTest, TheScanAdoptsABetterSourceOnlyOnceItDelivers) {
  PortsThreeAndFour();
  MapPort(3, Link("gps3"));
  MapPort(4, Link("gps4"));
  Simulate(Link("gps4"));
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(Using(4));
  Simulate(Link("gps3"), {"--no-fix-for", "4"});  // order 1, but without a fix at first
  ASSERT_TRUE(Using(3));
  std::string log = Log();
  EXPECT_NE(log.find("Testing Higher (<2) Order Ports"), std::string::npos);
  EXPECT_NE(log.find("Switching From Port 4 to 3"), std::string::npos);
  EXPECT_LT(log.find("Port Scan: Valid Fields"), log.find("Switching From Port 4 to 3"));
  EXPECT_NE(ReadBatch(h).find("$GPRMC"), std::string::npos);
}

TEST_F(DriverChainTest, KeepAliveKeepsTheSourceAndReloadReopensIt) {
  MapPort(4, Link("gps4"));
  Simulate(Link("gps4"));
  SetDword(MAIN_KEY, u"KeepAlive", 20000);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(Using(4));
  auto current = [&] {
    LogLine(LOG_FLUSH, nullptr);
    return ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  };
  COM_Close(h);
  usleep(200000);
  h = COM_Open(kDeviceContext, 0, 0);  // within KeepAlive: a fresh log file, but no reload
  EXPECT_EQ(AtomicRead(&g_Driver.CurrentPort), 4);
  EXPECT_NE(g_System.Ports[4].handle, 0u);
  EXPECT_EQ(current().find("Reading Registry Settings"), std::string::npos);
  EXPECT_EQ(COM_Write(h, "Reload", 7), kCommandAccepted);
  ASSERT_TRUE(WaitFor([&] { return current().find("Reloading Registry by Remote request") != std::string::npos; }));
  ASSERT_TRUE(Using(4));
  // The reload reads the settings after it logged the request: wait for it, never assume it.
  EXPECT_TRUE(WaitFor([&] {
    std::string log = current();
    return log.find("Reading Registry Settings", log.find("Reloading Registry by Remote request")) != std::string::npos;
  }));
}

TEST_F(DriverChainTest, DeinitReturnsWhileTheReaderWaitsOnASilentPort) {
  ASSERT_GE(WrittenReceiver(4), 0);  // silent: nothing is written
  Load();
  COM_Open(kDeviceContext, 0, 0);
  // Blocked in WaitCommEvent on the silent port.
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.TestPort) == 4 && PlatformCommWaiters(SourceHandle(4)) == 1; }));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(COM_Deinit(kDeviceContext), 1);
  loaded_ = false;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(Log().find("ReadThread forced Closed"), std::string::npos);  // it ended by itself
}
