// Faults a user meets: a receiver that falls silent or never pauses, and a driver that goes to sleep.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include "driver_fixture.h"
#include "nmea_sentence.h"

namespace {

class DriverFaultsTest : public DriverTest {
 protected:
  // A $GP receiver moving north at 50 km/h (27 knots), one cycle a second of the scaled clock.
  static std::string Cycle(int second) {
    char t[16], lat[32];
    snprintf(t, sizeof t, "1200%02d.00", second);
    snprintf(lat, sizeof lat, "4807.%04d", 1000 + second * 75);  // 13.9 m a second
    std::string c = Sentence(std::string("$GPRMC,") + t + ",A," + lat + ",N,01131.0000,E,27.0,0.0,061226,,");
    c += Sentence(std::string("$GPGGA,") + t + "," + lat + ",N,01131.0000,E,1,08,0.9,545.4,M,46.9,M,,");
    c += Sentence("$GPGSA,A,3,04,05,09,12,,,,,,,,,1.8,0.9,1.5");
    return c;
  }
  // What a program reads now.
  static FixRecord Raw(DWORD h) {
    FixRecord raw{};
    DWORD n = COM_Read(h, &raw, sizeof raw);
    EXPECT_EQ(n, sizeof raw);
    return raw;
  }
};

}  // namespace

TEST_F(DriverFaultsTest, AReceiverThatFallsSilentEndsInNoFixAndStopsMoving) {
  int master = WrittenReceiver(4);
  ASSERT_GE(master, 0);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  for (int i = 0; i < 8; ++i) {
    std::string c = Cycle(i);
    ASSERT_EQ(write(master, c.data(), c.size()), static_cast<ssize_t>(c.size()));
    Sleep(1000);
  }
  ASSERT_EQ(AtomicRead(&g_Driver.CurrentPort), 4);
  // Silent from here, the device still there. Within 15 s the output is no fix, and until then
  // a fix is carried no further than the stale time's projection from the last one the receiver
  // sent (10 s and the lag advance at 13.9 m/s: 160 m; it would drift 830 m a minute).
  const double lastSent = 48 + 7.1525 / 60;
  DWORD silent = GetTickCount();
  LONG noFixAfter = -1;
  FixRecord raw{}, before{};
  while (GetTickCount() - silent < 25000) {
    before = raw;
    raw = Raw(h);
    bool fix = raw.SatelliteCount != 0 && raw.FixQuality != 0;
    if (fix) {
      EXPECT_LT(std::fabs(raw.Latitude - lastSent), 160 / 111195.0) << GetTickCount() - silent << " ms";
      EXPECT_LT(noFixAfter, 0) << "a fix again after no fix";
    } else if (noFixAfter < 0) {
      noFixAfter = static_cast<LONG>(GetTickCount() - silent);
    }
    Sleep(500);
  }
  EXPECT_GE(noFixAfter, 0);
  EXPECT_LT(noFixAfter, 15000);
  EXPECT_EQ(raw.Latitude, before.Latitude);  // it no longer moves
  EXPECT_NE(Log().find("No Data From Port 4 In 5000 ms"), std::string::npos);
  COM_Close(h);
}

TEST_F(DriverFaultsTest, GoingToSleepWritesItsLineAndClosesTheLog) {
  SetDword(MAIN_KEY, u"KeepAlive", 1000);
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  COM_Close(h);
  // Read without asking the log to flush: the line is in the file only if the log was closed.
  EXPECT_TRUE(WaitFor([&] {
    return ReadWholeFile(root_ + "/Quorvale/FrxDriver.txt").find("FerroxDriver Sleeping...") != std::string::npos;
  }));
}


TEST_F(DriverFaultsTest, CalibKeepsCorrectionsOffForASourceWithoutTheCorrectionFlag) {
  // COM4: is enabled without corrections: no speed, course or lag fixes for its receiver.
  SourcePort ports[kSourcePorts] = {};
  ports[4] = {0, PORT_ENABLED | PORT_USER, 1, {0, 0}};
  HKEY k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
  RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, reinterpret_cast<BYTE*>(ports), sizeof ports);
  RegCloseKey(k);
  MapPort(4, root_ + "/gps4");
  Simulate(root_ + "/gps4");
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 4; }, 20));
  EXPECT_EQ(SourceProfile().LagAdvance, 0u);
  EXPECT_EQ(COM_Write(h, "Calib:", 6), kCommandAccepted);
  ASSERT_TRUE(WaitFor([&] { return Log().find("Reloading Registry by Remote request") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.RemoteCommand) == 0; }));
  EXPECT_EQ(SourceProfile().LagAdvance, 0u);  // the source's rule wins until the next switch
  EXPECT_EQ(SourceProfile().EnableSpeed, 0u);
  EXPECT_EQ(g_Profile.LagAdvance, 1500u);  // the loaded settings are not rewritten
  COM_Close(h);
}

TEST_F(DriverFaultsTest, OpensAndClosesRacingTheSleepAlwaysEndWithAnAwakeReader) {
  SetDword(MAIN_KEY, u"KeepAlive", 0);  // the last close puts the reader to sleep at once
  MapPort(4, root_ + "/gps4");
  Simulate(root_ + "/gps4");
  int baseline = PlatformOpenHandleCount();
  Load();
  for (int i = 0; i < 60; ++i) {
    DWORD h = COM_Open(kDeviceContext, 0, 0);
    ASSERT_NE(h, 0u) << i;
    // An open channel has an awake reader, whatever the reader was doing when it came.
    EXPECT_TRUE(WaitFor([&] { return WaitForSingleObject(g_Driver.WakeEvent, 0) == WAIT_OBJECT_0; }, 5)) << i;
    Sleep(static_cast<DWORD>(i % 5) * 40);  // closes before, while and after the source opens
    COM_Close(h);
    Sleep(static_cast<DWORD>(i % 3) * 30);
  }
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  EXPECT_TRUE(WaitFor([&] {
    FixRecord raw{};
    COM_Read(h, &raw, sizeof raw);
    return raw.FixQuality != 0;
  }, 20));
  COM_Close(h);
  EXPECT_EQ(COM_Deinit(kDeviceContext), 1);
  loaded_ = false;
  EXPECT_LE(PlatformOpenHandleCount(), baseline + 2);  // no port handle left behind
}

TEST_F(DriverFaultsTest, AReceiverThatNeverPausesOrSendsALongRunWithoutLineEndsStillGivesFixes) {
  // The strict reading does not cut bursts at a new cycle: only the burst's own bound ends them.
  SetDword(MAIN_KEY, u"StrictNmea", 1);
  int master = WrittenReceiver(4);
  ASSERT_GE(master, 0);
  fcntl(master, F_SETFL, O_NONBLOCK);  // a full terminal never holds the writer up
  std::atomic<bool> stop{false}, junk{false};
  std::thread receiver([&] {
    // Each second of the driver's clock, that second's cycle over and over, the terminal kept
    // full: the port is never quiet.
    const DWORD start = GetTickCount();
    std::string pending;
    while (!stop) {
      if (pending.size() < 4096) {
        std::string c = Cycle(static_cast<int>((GetTickCount() - start) / 1000) % 60);
        if (junk.exchange(false)) pending += "$" + std::string(1500, '\x5a');  // binary, no line end
        while (pending.size() < 8192) pending += c;
      }
      pollfd room{master, POLLOUT, 0};
      if (poll(&room, 1, 5) <= 0) continue;
      ssize_t n = write(master, pending.data(), pending.size());
      if (n > 0) pending.erase(0, static_cast<size_t>(n));
      else if (errno != EAGAIN) return;
    }
  });
  Load();
  DWORD h = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return Raw(h).FixQuality != 0; }, 20));
  // 30 s of the driver's clock, a long binary run half way: the fix stays and moves on.
  int moves = 0;
  double last = Raw(h).Latitude;
  for (int i = 0; i < 30; ++i) {
    if (i == 15) junk = true;
    Sleep(1000);
    FixRecord raw = Raw(h);
    EXPECT_NE(raw.FixQuality, 0u) << i << " s";
    moves += raw.Latitude != last;
    last = raw.Latitude;
  }
  EXPECT_GE(moves, 8);
  stop = true;
  receiver.join();
  COM_Close(h);
}

TEST_F(DriverFaultsTest, SettingsReloadWhileTwoChannelsReadSeeWholeLoads) {
  // Profile 1 (as the settings program saves it) has its lag advance changed between loads; two
  // programs read all the while.
  SetDword(MAIN_KEY, u"CurrentProfile", 1);
  SetDword(MAIN_KEY u"\\Profile1", u"DeltaDistance", 30);
  MapPort(4, root_ + "/gps4");
  Simulate(root_ + "/gps4");
  Load();
  DWORD control = COM_Open(kDeviceContext, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 4; }, 20));
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, short_reads{0};
  auto reader = [&] {
    DWORD h = COM_Open(kDeviceContext, 0, 0);
    while (!stop) {
      FixRecord raw{};
      if (COM_Read(h, &raw, sizeof raw) == sizeof raw) ++reads;
      else ++short_reads;
    }
    COM_Close(h);
  };
  std::thread a(reader), b(reader);
  for (int i = 0; i < 6; ++i) {
    DWORD lag = 1000 + 100 * static_cast<DWORD>(i);
    SetDword(MAIN_KEY u"\\Profile1", u"LagAdvance", lag);
    const char* command = i % 2 ? "Reload" : "Calib:";
    EXPECT_EQ(COM_Write(control, command, static_cast<DWORD>(strlen(command)) + 1), kCommandAccepted);
    ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.RemoteCommand) == 0; }));
    ASSERT_TRUE(WaitFor([&] { return AtomicRead(&g_Driver.CurrentPort) == 4; }, 20));
    EXPECT_EQ(g_Profile.LagAdvance, lag) << command;
    EXPECT_EQ(SourceProfile().LagAdvance, lag) << "a source with corrections gets the loaded value";
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(short_reads.load(), 0);
  COM_Close(control);
}
