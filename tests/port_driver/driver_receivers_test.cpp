// Receivers of today through the driver's serial source: a 10 Hz multi-constellation receiver
// that sends its cycles without a pause, in the default reading and the strict one.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include "driver_fixture.h"
#include "nmea_sentence.h"
#include "port_driver/correction.h"

namespace {


// One 10 Hz cycle, tenth `i` of the minute from 12:00:00, moving north.
std::string Cycle(int i) {
  char t[32], lat[32];
  snprintf(t, sizeof t, "1200%02d.%02d", i / 10, (i % 10) * 10);
  snprintf(lat, sizeof lat, "4807.%04d", 1000 + i);
  std::string s = Sentence(std::string("$GNRMC,") + t + ",A," + lat + ",N,01131.0000,E,1.0,0.0,061226,,,A");
  s += Sentence(std::string("$GNGGA,") + t + "," + lat + ",N,01131.0000,E,1,14,0.7,545.4,M,46.9,M,,");
  s += Sentence("$GNGSA,A,3,05,07,13,15,,,,,,,,,1.4,0.7,1.2,1");
  s += Sentence("$GNGSA,A,3,67,76,,,,,,,,,,,1.4,0.7,1.2,2");
  return s;
}

class DriverReceiversTest : public DriverTest {
 protected:
  // Feeds `cycles` cycles at 10 Hz (of the scaled clock) into a pseudo-terminal mapped as COM4:
  // with the driver reading it; returns the sizes of the bursts the driver read.
  std::vector<int> Feed(int cycles, FixRecord* output) {
    int master = WrittenReceiver(4);
    Load();
    DWORD h = COM_Open(kDeviceContext, 0, 0);
    for (int i = 0; i < cycles; ++i) {
      std::string c = Cycle(i);
      EXPECT_EQ(write(master, c.data(), c.size()), static_cast<ssize_t>(c.size()));
      Sleep(100);
    }
    Sleep(1000);
    COM_Read(h, output, sizeof *output);  // the raw record a program reads
    COM_Close(h);
    EXPECT_EQ(COM_Deinit(kDeviceContext), 1);  // the reader has ended: its record can be read
    loaded_ = false;
    std::vector<int> sizes;
    std::string log = Log();
    const char kBurst[] = "Com 4, returning Valid Message";
    for (size_t p = log.find(kBurst); p != std::string::npos; p = log.find(kBurst, p + 1)) {
      size_t bytes = log.find(" bytes)", p);
      size_t open = log.rfind('(', bytes);
      sizes.push_back(atoi(log.c_str() + open + 1));
    }
    return sizes;
  }
};

}  // namespace

TEST_F(DriverReceiversTest, ATenHertzReceiverGivesOneRecordPerCycle) {
  const int kCycles = 40;
  FixRecord output{};
  std::vector<int> sizes = Feed(kCycles, &output);
  const int cycleBytes = static_cast<int>(Cycle(10).size());
  int whole = 0;
  for (int n : sizes) {
    EXPECT_LE(n, cycleBytes) << "a burst with more than one cycle (" << cycleBytes << " bytes each)";
    whole += n == cycleBytes;
  }
  // Every cycle from the one the driver first found on (a test burst may take a part of one).
  EXPECT_GE(whole, kCycles - 5) << sizes.size() << " bursts";
  // What a program reads: the combined solution's fix, the satellites of both GSA.
  EXPECT_EQ(output.FixQuality, 1u);
  EXPECT_EQ(output.FixType, 2u);
  EXPECT_EQ(output.UsedPrns[5], 76u);
}

TEST_F(DriverReceiversTest, TheStrictReadingServesOnlyTheGpTalker) {
  SetDword(MAIN_KEY, u"StrictNmea", 1);
  FixRecord output{};
  EXPECT_TRUE(Feed(10, &output).empty());  // $GN sentences are not read: no burst is whole
  EXPECT_EQ(g_System.StrictNmea, 1u);
}

TEST_F(DriverReceiversTest, AReceiverPluggedInLaterIsFoundAtOnceUnderItsStableName) {
  SetDword(MAIN_KEY, u"EnableScan", 2);  // never scan: only the arrival of the device finds it
  std::string stable = root_ + "/serial/by-id/usb-Ferrox_Sim-if00";  // as udev names it
  MapPort(4, stable);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return Log().find("No Valid Ports Are found") != std::string::npos; }));
  // Plugged in: the device appears, then udev's link to it in a folder that did not exist.
  Simulate(root_ + "/ttyACM0");
  auto plugged = std::chrono::steady_clock::now();
  ASSERT_EQ(system(("mkdir -p '" + root_ + "/serial/by-id' && ln -s '" + root_ + "/ttyACM0' '" + stable + "'").c_str()),
            0);
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 4; }, 5));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_NE(Log().find("A Receiver Was Plugged In"), std::string::npos);
  COM_Close(h);
}

TEST_F(DriverReceiversTest, BaudRateZeroFindsTheReceiversSpeed) {
  std::string link = root_ + "/gps38400";
  Simulate(link, {"--baud", "38400"});
  MapPort(4, link);
  auto Served = [&] {
    Load();
    DWORD h = COM_Open(kDeviceContext, 0, 0);
    bool found = WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 4; }, 8);
    COM_Close(h);
    COM_Deinit(kDeviceContext);
    loaded_ = false;
    return found;
  };
  SetDword(u"Software\\Quorvale\\SerialPorts\\COM4:", u"BaudRate", 9600);
  EXPECT_FALSE(Served());  // at the wrong speed the receiver gives nothing to read
  SetDword(u"Software\\Quorvale\\SerialPorts\\COM4:", u"BaudRate", 0);
  EXPECT_TRUE(Served());
}

TEST_F(DriverReceiversTest, ACycleThatCameWithTheOneBeforeIsReadWithoutWaitingForTheNext) {
  // A read that waited for more bytes would wait as long as the port's time-out: ten minutes.
  SetDword(MAIN_KEY, u"ComTimeOut", 600000);
  int master = WrittenReceiver(4);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  for (int i = 0; i < 5; ++i) {  // the driver finds the receiver and learns its cycle
    std::string c = Cycle(i);
    ASSERT_EQ(write(master, c.data(), c.size()), static_cast<ssize_t>(c.size()));
    Sleep(100);
  }
  // Two cycles in one write, then silence: the second comes with the end of the first.
  std::string two = Cycle(5) + Cycle(6);
  ASSERT_EQ(write(master, two.data(), two.size()), static_cast<ssize_t>(two.size()));
  const double lastLatitude = 48 + (7 + 0.1006) / 60;
  EXPECT_TRUE(WaitFor([&] {
    FixHistory history;
    GetFixHistory(&history);
    return std::fabs(history.PrevFix.Latitude - lastLatitude) < 1e-7;
  }, 5));
  COM_Close(h);
}
