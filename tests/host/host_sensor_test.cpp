// The phone's sensors inside frxd: the driver registers the sensor device, which plays a script
// the test writes, while a simulated receiver stands still or moves.
#include <cmath>
#include <fstream>
#include <chrono>
#include <functional>
#include "host_fixture.h"

namespace {

class HostSensorTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    script_ = root_ + "/sensors.txt";
    SetString(u"Software\\Quorvale\\Sensors", u"Backend", Utf8ToWide(("script:" + script_).c_str()).c_str());
    SetDword(SENSOR_KEY, u"AutoEnable", 0);
    for (const char16_t* profile : {MAIN_KEY u"\\Profile1", MAIN_KEY u"\\Profile2"}) {
      SetDword(profile, u"DeltaDistance", 30);  // a profile with its settings, not a new one
      SetDword(profile, u"MagVal", 10);
      SetDword(profile, u"MagLand", 20);
      SetDword(profile, u"EnableCompass", 1);
    }
  }
  std::vector<std::string> ReceiverArgs() override { return {"--speed", "0", "--heading", "200"}; }
  void Play(const std::string& text) {
    std::ofstream(script_ + ".new") << text << "\n";
    rename((script_ + ".new").c_str(), script_.c_str());
  }
  // frxd started with the sensors playing `script`, and a program reading its NMEA TCP server
  // (the descriptor, -1 when it can't connect).
  int StartReading(const std::string& script) {
    Play(script);
    StartHost();
    return Connect();
  }
  // The course of the last $GPRMC the TCP server sends once `until` holds of it.
  bool CourseBecomes(int fd, const std::function<bool(double)>& until, double* course, double seconds = 20) {
    std::string nmea;
    auto until_ = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until_) {
      nmea += Receive(fd, 100);
      size_t at = nmea.rfind("$GPRMC");
      if (at == std::string::npos || nmea.find("\r\n", at) == std::string::npos) continue;
      std::string rmc = nmea.substr(at, nmea.find("\r\n", at) - at);
      size_t field = 0;
      for (int i = 0; i < 8 && field != std::string::npos; ++i) field = rmc.find(',', field + 1);
      if (field == std::string::npos) continue;
      *course = atof(rmc.c_str() + field + 1);
      if (until(*course)) return true;
      nmea.clear();
    }
    return false;
  }
  // The first of up to ten records a program reading raw records gets that has all of `bits`
  // (the last one read when none has). A sensor thread that starts anew with the open has not
  // sampled yet for the first record or two.
  FixRecord RawRecordWith(DWORD bits) {
    FixRecord raw{};
    HANDLE h = CreateFileW(u"COM8:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    for (int i = 0; i < 10; ++i) {
      DWORD got = 0;
      EXPECT_TRUE(ReadFile(h, &raw, sizeof raw, &got, nullptr));
      EXPECT_EQ(got, sizeof raw);
      if ((raw.ValidFields & bits) == bits) break;
    }
    CloseHandle(h);
    return raw;
  }
  // The driver's log holds `line` (frxd writes it out at the latest when the driver sleeps).
  bool Logged(const std::string& line) {
    return WaitFor([&] { return Log().find(line) != std::string::npos; }, 20);
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string script_;
};

// A receiver moving at 50 km/h on course 45.
class HostSensorMovingTest : public HostSensorTest {
 protected:
  std::vector<std::string> ReceiverArgs() override { return {"--speed", "50", "--heading", "45"}; }
};

constexpr DWORD kCompassBits = FIX_COMPASS_IN_USE | FIX_MAG_HEADING | FIX_COURSE_FROM_COMPASS;

// On the real clock: the 3 s a profile switch may take are the driver's own seconds, which a
// loaded machine can't keep ten times faster.
class HostSensorTiltTest : public HostSensorTest {
 protected:
  double Scale() const override { return 1; }
};

}  // namespace

TEST_F(HostSensorTest, AtStandstillThePortraitCompassGivesTheCourse) {
  int fd = StartReading("0 0 1000 0 100");
  ASSERT_GE(fd, 0);
  double course = 0;
  EXPECT_TRUE(CourseBecomes(fd, [](double c) { return c == 90.0; }, &course)) << course << Log();
  close(fd);
  FixRecord raw = RawRecordWith(kCompassBits);
  EXPECT_EQ(raw.ValidFields & kCompassBits, kCompassBits);
  EXPECT_EQ(raw.Orientation, 3);
  EXPECT_TRUE(Logged("Compass: 100.0, Orient: Port")) << Log();
}

TEST_F(HostSensorTest, LandscapeLeftUpTurnsTheHeadingAndTakesTheLandscapeVariation) {
  int fd = StartReading("0 -1000 0 0 100");
  ASSERT_GE(fd, 0);
  double course = 0;
  // 100 turned a quarter for the left side up, less MagLand 20.
  EXPECT_TRUE(CourseBecomes(fd, [](double c) { return c == 170.0; }, &course)) << course << Log();
  EXPECT_TRUE(Logged("Compass: 190.0, Orient: LLand")) << Log();
  close(fd);
}

TEST_F(HostSensorMovingTest, WhenMovingFasterThanTheCompassSpeedTheGpsCourseWins) {
  int fd = StartReading("0 0 1000 0 60");
  ASSERT_GE(fd, 0);
  double course = 0;
  EXPECT_TRUE(CourseBecomes(fd, [](double c) { return std::fabs(c - 45) < 1; }, &course)) << course;
  // And it stays so over several fixes.
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(CourseBecomes(fd, [](double) { return true; }, &course));
    EXPECT_NEAR(course, 45, 1);
  }
  close(fd);
  FixRecord raw = RawRecordWith(FIX_COMPASS_IN_USE);
  EXPECT_FALSE(raw.ValidFields & FIX_COURSE_FROM_COMPASS);
  EXPECT_TRUE(raw.ValidFields & FIX_COMPASS_IN_USE) << "the compass is read, and gives way";
}

TEST_F(HostSensorTiltTest, TheTiltSwitchesProfilesWithinThreeSecondsAndHoveringSwitchesAtMostOnce) {
  SetDword(SENSOR_KEY, u"AutoEnable", 3);
  SetDword(MAIN_KEY, u"CurrentProfile", 1);
  int fd = StartReading("0 0 0 -1000 -");  // flat
  ASSERT_GE(fd, 0);
  auto profile = [&] {
    DWORD p = 0;
    GetDword(MAIN_KEY, u"CurrentProfile", &p);
    return p;
  };
  auto receiving = [&](DWORD want) {
    return WaitFor([&] {
      Receive(fd, 20);
      return profile() == want;
    }, 20);
  };
  ASSERT_TRUE(receiving(2)) << Log();
  DWORD start = GetTickCount();
  Play("0 0 1000 0 -");  // upright
  ASSERT_TRUE(receiving(1)) << Log();
  EXPECT_LE(GetTickCount() - start, 3000u);
  start = GetTickCount();
  Play("0 0 0 -1000 -");
  ASSERT_TRUE(receiving(2)) << Log();
  EXPECT_LE(GetTickCount() - start, 3000u);
  // 20 s hovering at 75 degrees give or take 5, a reading every 50 ms. The profile is watched
  // in the registry (a switch holds for a second at least, so none is missed).
  std::string hover;
  unsigned seed = 11;
  for (int ms = 0; ms < 20000; ms += 50) {
    seed = seed * 1103515245 + 12345;
    double p = (70 + static_cast<int>((seed >> 16) % 11)) * M_PI / 180;
    hover += std::to_string(ms) + " 0 " + std::to_string(std::lround(1000 * std::sin(p))) + " " +
             std::to_string(std::lround(-1000 * std::cos(p))) + " -\n";
  }
  Play(hover);
  int switches = 0;
  DWORD last = profile();
  start = GetTickCount();
  while (GetTickCount() - start < 21000) {
    Receive(fd, 20);
    DWORD now = profile();
    switches += now != last;
    last = now;
  }
  close(fd);
  EXPECT_LE(switches, 1) << Log();
}

TEST_F(HostSensorMovingTest, WithoutSensorsTheThreadEndsAndTheGpsAloneGivesTheCourse) {
  SetString(u"Software\\Quorvale\\Sensors", u"Backend", u"none");
  StartHost();
  int fd = Connect();
  ASSERT_GE(fd, 0);
  double course = 0;
  EXPECT_TRUE(CourseBecomes(fd, [](double c) { return std::fabs(c - 45) < 1; }, &course)) << course;
  close(fd);
  EXPECT_TRUE(Logged("No Sensor Hardware - Thread Exit")) << Log();
  FixRecord raw = RawRecordWith(FIX_POSITION_GROUP);
  EXPECT_EQ(raw.ValidFields & (FIX_COMPASS_IN_USE | FIX_COURSE_FROM_COMPASS), 0u);
  EXPECT_EQ(raw.Orientation, 0);
}

TEST_F(HostSensorTest, AHundredReloadsWhileSamplingStopTheThreadEachTimeWithinItsBound) {
  // The counts below are of the whole log: the verbose level's larger size limit keeps a hundred
  // reloads of samples in its two files (the ordinary limit rotates the first ones away).
  SetDword(MAIN_KEY, u"EnableLogs", 2);
  Play("0 0 1000 0 100");
  StartHost();
  HANDLE h = CreateFileW(u"COM8:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WaitFor([&] { return Count(Log(), "Started Sensor Read Thread") >= 1; }));
  // Each reload stops the thread and starts it again; a start while the last run is still
  // closing lets that run sample on (no new thread), so the start is counted, not the thread.
  for (int i = 0; i < 100; ++i) {
    size_t started = Count(Log(), "Starting Sensor Thread");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "Reload", 7, &written, nullptr));
    ASSERT_TRUE(WaitFor([&] { return Count(Log(), "Starting Sensor Thread") > started; }, 20)) << i;
  }
  CloseHandle(h);
  std::string log = Log();
  EXPECT_EQ(log.find("SensorThread forced Closed"), std::string::npos);
  EXPECT_GE(Count(log, "Stopping Sensor Thread"), 100u);
  // Every run ended by a stop (one started again while closing runs on instead of ending).
  EXPECT_LE(Count(log, "Sensor Thread Shutdown"), Count(log, "Stopping Sensor Thread"));
  EXPECT_GE(Count(log, "Sensor Thread Shutdown"), 1u);
}
