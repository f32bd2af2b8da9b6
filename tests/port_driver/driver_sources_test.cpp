// The sources at their edges: the GPS clock check, the platform GPS API source with a module
// registered in this process, and the cell service control link with a device of this process.
#include <atomic>
#include <thread>
#include "../../port_driver/src/driver_internal.h"
#include "driver_fixture.h"
#include "nmea_sentence.h"
#include "platform/service_ioctl.h"
#include "port_driver/correction.h"
#include "support/clock.h"

namespace {

using DriverSourcesTest = DriverTest;

FixRecord TimedFix(LONG offsetMs) {
  FixRecord f{};
  ClockNow(&f.UtcTime);
  AddMilliseconds(&f.UtcTime, offsetMs);
  f.FixQuality = 1;
  f.FixType = 2;
  return f;
}

// A platform GPS API library of this process.
std::atomic<int> g_opens{0}, g_positions{0}, g_otherLoads{0};
std::atomic<HANDLE> g_locationEvent{nullptr};
bool g_wantBig = false;
bool g_variation = true;  // the fake platform gives a magnetic variation
SYSTEMTIME g_fixTime;

HANDLE FakeOpen(HANDLE event, HANDLE, const WCHAR*, DWORD) {
  ++g_opens;
  g_locationEvent = event;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x77));
}
DWORD FakeClose(HANDLE) { return 0; }
DWORD FakeGetPosition(HANDLE, GPS_POSITION* p, DWORD, DWORD) {
  if (g_wantBig && p->dwSize != 376) return ERROR_INVALID_PARAMETER;
  ++g_positions;
  p->dwValidFields = GPS_VALID_UTC_TIME | GPS_VALID_LATITUDE | GPS_VALID_LONGITUDE | GPS_VALID_SPEED |
                     GPS_VALID_HEADING | GPS_VALID_ALTITUDE_WRT_SEA_LEVEL |
                     (g_variation ? GPS_VALID_MAGNETIC_VARIATION : 0);
  p->stUTCTime = g_fixTime;
  p->dblLatitude = 48.5;
  p->dblLongitude = 9.25;
  p->flSpeed = 10;  // knots
  p->flHeading = 90;
  p->dblMagneticVariation = 2.5;
  p->flAltitudeWRTSeaLevel = 500;
  p->FixQuality = GPS_FIX_QUALITY_GPS;
  p->FixType = GPS_FIX_3D;
  return 0;
}
DWORD FakeOther() { return 0; }
FARPROC Lookup(const char* symbol) {
  if (!strcmp(symbol, "GPSOpenDevice")) return reinterpret_cast<FARPROC>(FakeOpen);
  if (!strcmp(symbol, "GPSCloseDevice")) return reinterpret_cast<FARPROC>(FakeClose);
  if (!strcmp(symbol, "GPSGetPosition")) return reinterpret_cast<FARPROC>(FakeGetPosition);
  if (!strncmp(symbol, "GPS", 3)) return reinterpret_cast<FARPROC>(FakeOther);
  return nullptr;
}
FARPROC OtherLookup(const char* symbol) {
  ++g_otherLoads;
  return Lookup(symbol);
}

// A cell service of this process: counts the control codes it receives.
std::atomic<int> g_starts{0}, g_stops{0}, g_status{0};
std::atomic<DWORD> g_running{0};
DWORD ServiceOpen(DWORD, DWORD, DWORD) { return 1; }
BOOL ServiceClose(DWORD) { return TRUE; }
BOOL ServiceControl(DWORD, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLength, DWORD* actual) {
  if (code == IOCTL_SERVICE_START) ++g_starts, g_running = 1;
  if (code == IOCTL_SERVICE_STOP) ++g_stops, g_running = 0;
  if (code == IOCTL_SERVICE_STATUS && out && outLength >= 4) {
    ++g_status;
    DWORD r = g_running;
    memcpy(out, &r, 4);
    *actual = 4;
  }
  return TRUE;
}

}  // namespace

TEST_F(DriverSourcesTest, TheClockCheckAcceptsHalfAMinuteAndIgnoresTwoMinutes) {
  SetLogName("FrxDriver");
  LogSetEnable(1);
  // The wait for the next whole GPS second stays short (50 ms), and a loaded machine's stall of
  // a quarter second still moves the clock less than the bounds' 5 s.
  PlatformSetTimeScale(20);
  ResyncClock();
  FixRecord ahead = TimedFix(30000);
  SYSTEMTIME sent = ahead.UtcTime;
  EXPECT_EQ(GpsClockCheck(&ahead, 4), 1);
  EXPECT_GT(PlatformClockOffsetMs(), 25000);
  EXPECT_EQ(TimeDifference(&sent, &ahead.UtcTime), 0);  // the GPS time is kept
  PlatformResetClockOffset();
  ResyncClock();
  g_ClockSynced = false;
  FixRecord far = TimedFix(120000);
  EXPECT_EQ(GpsClockCheck(&far, 4), 0);
  SYSTEMTIME now;
  ClockNow(&now);
  // Replaced by the log clock: the bound only tells the clock's time from the two minutes of the fix.
  EXPECT_LT(std::abs(TimeDifference(&far.UtcTime, &now)), 60000);
  EXPECT_LT(PlatformClockOffsetMs(), 1000);
  FixRecord noDay = TimedFix(0);
  noDay.UtcTime.wDay = 0;
  EXPECT_EQ(GpsClockCheck(&noDay, 4), 0);
  EXPECT_NE(noDay.UtcTime.wDay, 0);
  SetLogName("FrxDriver");
  std::string log = ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  // The offsets as logged: each less what the scaled clock moved between making the fix and
  // checking it.
  auto logged = [&](long from, long to) {
    const std::string kLine = "GPS Clock is ";
    for (size_t p = log.find(kLine); p != std::string::npos; p = log.find(kLine, p + 1)) {
      long ms = atol(log.c_str() + p + kLine.size());
      if (ms >= from && ms <= to && log.compare(log.find(" ms ", p), 18, " ms Ahead of Syste") == 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(logged(25000, 30000)) << log;
  EXPECT_TRUE(logged(115000, 120000)) << log;
}

TEST_F(DriverSourcesTest, TheClockCheckMeasuresHowLateTheReceiverReports) {
  SetLogName("FrxDriver");
  LogSetEnable(1);
  PlatformSetManualTicks(true, 5000000);  // the reference and the driver's clock stand still between bursts
  ResyncClock();
  SetProfileDefaults(1);
  g_Profile.AutoLag = 1;
  PlatformSetReferenceClock(REFERENCE_CLOCK_TRUSTED);
  g_ClockSynced = false;
  // The first burst sets the driver's clock to its fix time; later ones are within the check's
  // tolerance and leave it. Each fix is 800 ms old on the reference clock when it arrives.
  for (int burst = 0; burst < kLagSamplesUsed; ++burst) {
    SYSTEMTIME reference;
    ASSERT_TRUE(PlatformReferenceTime(&reference));
    FixRecord late{};
    late.UtcTime = reference;
    AddMilliseconds(&late.UtcTime, burst == 2 ? -900 : -800);
    late.FixQuality = 1;
    late.FixType = 2;
    EXPECT_EQ(GpsClockCheck(&late, 4), 1);
    PlatformAdvanceTicks(1000);
  }
  FixHistory history;
  GetFixHistory(&history);
  // 800, 800, then 900 ms late with the driver's clock 100 ms ahead of the fix: 800 ahead of it still.
  EXPECT_EQ(history.Lag.advanceMs, 800);
  EXPECT_EQ(history.Lag.samples, kLagSamplesUsed);
  // Without a trusted clock nothing is measured, and the log says so once.
  PlatformSetReferenceClock(REFERENCE_CLOCK_NONE);
  for (int burst = 0; burst < 2; ++burst) {
    FixRecord f = TimedFix(0);
    EXPECT_EQ(GpsClockCheck(&f, 4), 1);
  }
  PlatformSetReferenceClock(REFERENCE_CLOCK_NTP);
  PlatformSetManualTicks(false, 0);
  SetLogName("FrxDriver");
  std::string log = ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt");
  EXPECT_NE(log.find("AutoLag: receiver on port 4 reports 800 ms late"), std::string::npos) << log;
  size_t none = log.find("AutoLag: no clock independent of the receiver, using LagAdvance 1500 ms");
  EXPECT_NE(none, std::string::npos) << log;
  EXPECT_EQ(log.find("AutoLag: no clock", none + 1), std::string::npos);
}

TEST_F(DriverSourcesTest, ThePlatformApiSourceDeliversThroughTheOriginalLibrary) {
  PlatformRegisterModule(u"gpsapiOrig.dll", Lookup);
  PlatformRegisterModule(u"gpsapi.dll", OtherLookup);
  SetDword(MAIN_KEY, u"GpsComPort", 0);
  Load();
  g_wantBig = true;  // this platform only takes the 376-byte record
  g_variation = false;  // and gives no magnetic variation
  ClockNow(&g_fixTime);
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  // Deliver a position whenever the driver waits for one.
  std::atomic<bool> stop{false};
  std::thread platform([&] {
    while (!stop) {
      if (HANDLE e = g_locationEvent.load()) SetEvent(e);
      Sleep(1000);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 0; }));
  FixRecord raw{};
  bool fixed = WaitFor([&] {
    COM_Read(h, &raw, sizeof raw);
    return raw.SourceKind == SOURCE_PLATFORM_API;
  });
  stop = true;
  platform.join();
  ASSERT_TRUE(fixed);
  EXPECT_NEAR(raw.Latitude, 48.5, 0.01);
  EXPECT_EQ(raw.ValidFields & FIX_MAG_VARIATION, 0u);  // the platform gave no variation
  EXPECT_EQ(g_otherLoads.load(), 0);  // gpsapi.dll never loaded
  EXPECT_GT(g_positions.load(), 0);
  std::string log = Log();
  EXPECT_NE(log.find("GetBigPosition"), std::string::npos);
  EXPECT_NE(log.find("MSAPI Opened"), std::string::npos);
  PlatformRegisterModule(u"gpsapiOrig.dll", nullptr);
  PlatformRegisterModule(u"gpsapi.dll", nullptr);
  g_wantBig = false;
  g_variation = true;
}

TEST_F(DriverSourcesTest, TwoEventsWithTheSameFixTimeGiveOneFix) {
  PlatformRegisterModule(u"gpsapiOrig.dll", Lookup);
  LoadAllSettings(nullptr);
  g_Driver.PollEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(OpenApiSource(event), 1);
  ClockNow(&g_fixTime);
  FixRecord f{};
  SetEvent(event);
  EXPECT_GT(ReadApiSource(&f), 0);
  EXPECT_FLOAT_EQ(f.Speed, 10 * 1.852f);
  EXPECT_FLOAT_EQ(f.MagVariation, 2.5f);
  EXPECT_NEAR(f.MagHeading, 92.5, 1e-4);
  EXPECT_EQ(f.ValidFields & FIX_DATE, FIX_DATE);
  SetEvent(event);  // the same fix time again: not accepted before the deadline
  DWORD start = GetTickCount();
  EXPECT_EQ(ReadApiSource(&f), 0);
  EXPECT_GE(GetTickCount() - start, 1000u);
  CloseSource(0);
  CloseHandle(g_Driver.PollEvent);
  g_Driver.PollEvent = nullptr;
  PlatformRegisterModule(u"gpsapiOrig.dll", nullptr);
}

TEST_F(DriverSourcesTest, TheCellServiceIsStartedAtWakeAndStoppedAtSleep) {
  StreamEntryPoints entries{};
  entries.Open = ServiceOpen;
  entries.Close = ServiceClose;
  entries.IOControl = ServiceControl;
  HANDLE reg = PlatformRegisterDevice(u"TWK", 1, &entries, 1, TRUE);
  ASSERT_NE(reg, nullptr);
  SetDword(CELL_KEY, u"EnableCells", 1);
  EXPECT_EQ(ReadEnableCells(), 1u);
  SetDword(CELL_KEY, u"EnableCells", 2);
  SetDword(MAIN_KEY, u"KeepAlive", 100);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return g_starts == 1; }));
  COM_Close(h);
  ASSERT_TRUE(WaitFor([&] { return g_stops == 1; }));
  h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return g_starts == 2; }));
  COM_Close(h);
  ASSERT_TRUE(WaitFor([&] { return g_stops == 2; }));
  EXPECT_GE(g_status.load(), 2);
  PlatformDeregisterDevice(reg);
}

TEST_F(DriverSourcesTest, ScanModesFollowThePowerAndRunOnceForThree) {
  setenv("FERROX_POWER", "battery", 1);
  SetDword(MAIN_KEY, u"EnableScan", 0);
  EXPECT_FALSE(ScanAllowed());
  SetDword(MAIN_KEY, u"EnableScan", 1);
  EXPECT_TRUE(ScanAllowed());
  SetDword(MAIN_KEY, u"EnableScan", 3);
  EXPECT_TRUE(ScanAllowed());
  DWORD v = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"EnableScan", &v));
  EXPECT_EQ(v, 2u);
  EXPECT_FALSE(ScanAllowed());
  setenv("FERROX_POWER", "ac", 1);
  SetDword(MAIN_KEY, u"EnableScan", 0);
  EXPECT_TRUE(ScanAllowed());
  unsetenv("FERROX_POWER");
}

TEST_F(DriverSourcesTest, ABurstOfAPortUnderTestLeavesTheClockAlone) {
  // The scan tests COM5: while COM4: is current; COM5:'s receiver is half a minute off.
  int master = WrittenReceiver(5);
  ASSERT_GE(master, 0);
  Load();
  PlatformResetClockOffset();
  AtomicWrite(&g_Driver.CurrentPort, 4);
  ASSERT_EQ(OpenSerialSource(5), SOURCE_OPENED);
  FixRecord foreign = TimedFix(30000);
  char t[32], d[32];
  snprintf(t, sizeof t, "%02u%02u%02u.00", foreign.UtcTime.wHour, foreign.UtcTime.wMinute, foreign.UtcTime.wSecond);
  snprintf(d, sizeof d, "%02u%02u%02u", foreign.UtcTime.wDay, foreign.UtcTime.wMonth, foreign.UtcTime.wYear % 100);
  std::string burst = Sentence(std::string("$GPRMC,") + t + ",A,4807.0380,N,01131.0000,E,0.0,0.0," + d + ",,") +
                      Sentence(std::string("$GPGGA,") + t + ",4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,") +
                      Sentence("$GPGSA,A,3,04,05,09,12,,,,,,,,,1.8,0.9,1.5");
  ASSERT_EQ(write(master, burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
  FixRecord test{};
  EXPECT_GT(ReadWithWait(5, &test), 0);
  EXPECT_EQ(PlatformClockOffsetMs(), 0);  // not set from a foreign receiver
  EXPECT_EQ(Log().find("GPS Clock is"), std::string::npos);
  CloseSource(5);
  AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
}

TEST_F(DriverSourcesTest, AReadOfThePlatformApiEndsWhenTheDriverGoesToSleep) {
  // With a long SleepTime a read waits half a minute; stopping the scan (which tests this source)
  // must not wait that long. The driver's events without the driver: no reader thread reacts.
  PlatformRegisterModule(u"gpsapiOrig.dll", Lookup);
  g_Driver.PollEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_Driver.ReadSleep = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_System.SleepTime = 30000;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(OpenApiSource(event), 1);
  std::atomic<int> result{99};
  std::thread reader([&] {
    FixRecord f{};
    result = ReadApiSource(&f);  // no position comes
  });
  ASSERT_TRUE(WaitFor([&] { return PlatformWaiters(event) == 1; }));  // blocked in the read
  DWORD asked = GetTickCount();
  SetEvent(g_Driver.ReadSleep);
  reader.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(GetTickCount() - asked, 5000u);
  CloseSource(0);
  CloseHandle(g_Driver.PollEvent);
  CloseHandle(g_Driver.ReadSleep);
  g_Driver.PollEvent = g_Driver.ReadSleep = nullptr;
  PlatformRegisterModule(u"gpsapiOrig.dll", nullptr);
}
