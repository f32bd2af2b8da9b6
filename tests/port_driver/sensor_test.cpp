// The driver's sensor reading and compass average on the clock the test moves: the sensor device
// SEN0: of this process plays a script the test rewrites; the maker library is a module of this
// process.
#include <atomic>
#include <cmath>
#include <fstream>
#include "../../port_driver/src/driver_internal.h"
#include "../../port_driver/src/sensor_internal.h"
#include "driver_fixture.h"
#include "platform/smi_sensors.h"
#include "compass.h"
#include "sensor_device.h"
#include "stress.h"

namespace {

class SensorTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    LoadSoftwareSettings();
    g_System.SleepTime = 1000;
    g_System.EnableSmooth = 0;
    g_System.AutoEnable = 0;
    g_Profile.EnableCompass = 1;
    PublishSensorSettings();
    PlatformSetManualTicks(true, 5000);
    script_ = root_ + "/sensors.txt";
  }
  void TearDown() override {
    CloseSensors();
    if (registration_) PlatformDeregisterDevice(registration_);
    if (device_) SEN_Deinit(device_);
    PlatformSetManualTicks(false, 0);
    DriverTest::TearDown();
  }
  // SEN0: of this process, playing `script`.
  void Device(const std::string& script) {
    Play(script);
    SetString(u"Software\\Quorvale\\Sensors", u"Backend", Utf8ToWide(("script:" + script_).c_str()).c_str());
    device_ = SEN_Init(nullptr, nullptr);
    ASSERT_NE(device_, 0u);
    static const StreamEntryPoints entries = {SEN_Init, SEN_Deinit, SEN_Open, SEN_Close, SEN_Read,
                                              SEN_Write, SEN_Seek, SEN_IOControl, SEN_PowerUp, SEN_PowerDown};
    registration_ = PlatformRegisterDevice(u"SEN", 0, &entries, device_, TRUE);
    ASSERT_NE(registration_, nullptr);
  }
  void Play(const std::string& text) { std::ofstream(script_) << text << "\n"; }
  // The device held at `pitch` degrees from flat (90 upright), with a heading or none ("-").
  void Tilt(int pitch, const char* heading = "-") {
    double p = pitch * M_PI / 180;
    Play("0 0 " + std::to_string(std::lround(1000 * std::sin(p))) + " " +
         std::to_string(std::lround(-1000 * std::cos(p))) + " " + heading);
  }
  double Result(BYTE* orientation = nullptr) {
    BYTE o;
    double h;
    CompassResult(&o, &h);
    if (orientation) *orientation = o;
    return h;
  }
  std::string script_;
  DWORD device_ = 0;
  HANDLE registration_ = nullptr;
};

struct GravityCase {
  int x, y, z;
  LONG orientation, pitch, roll;
};

}  // namespace

TEST(SensorGravity, OrientationPitchAndRollFromTheGSensor) {
  // Roll of a device upright with its right side up comes out as -270 by the arc cosines; it is
  // folded to 90, so that the tilt sees that landscape upright as it sees the other.
  const GravityCase cases[] = {
      {0, 1000, 0, ORIENT_PORTRAIT, 90, -180},           {0, 0, -1000, ORIENT_FLAT, 0, 0},
      {-1000, 0, 0, ORIENT_LEFT_LANDSCAPE, 90, -90},     {1000, 0, 0, ORIENT_RIGHT_LANDSCAPE, 90, 90},
      {0, -1000, 0, ORIENT_INVERTED_PORTRAIT, -90, -180}, {0, 0, 1000, ORIENT_FACE_DOWN, 180, -180},
      {100, 100, -990, ORIENT_FLAT, 9, -6},              {0, 400, -400, ORIENT_UNKNOWN, 67, 0},
      {0, 400, -900, ORIENT_FLAT, 26, 0},
      {0, 5000, 0, ORIENT_PORTRAIT, 90, -180},  // beyond 1 g: clamped before the arc cosine
  };
  for (const GravityCase& c : cases) {
    SensorReading r{};
    OrientationFromGravity(c.x, c.y, c.z, 30, &r);
    EXPECT_EQ(r.Orientation, c.orientation) << c.x << " " << c.y << " " << c.z;
    EXPECT_EQ(r.Pitch, c.pitch) << c.x << " " << c.y << " " << c.z;
    EXPECT_EQ(r.Roll, c.roll) << c.x << " " << c.y << " " << c.z;
  }
}

TEST_F(SensorTest, OnlyRealHeadingsAreAveragedTheFirstAmongThemOnceACycle) {
  Device("0 0 1000 0 10");
  ASSERT_EQ(OpenSensors(), 0);
  EXPECT_EQ(SensorCapabilities(), SENSOR_ORIENTATION | SENSOR_COMPASS);  // the compass read got its length
  ResetSensorAverage();
  SampleSensors();
  Play("0 0 1000 0 12");
  SampleSensors();
  Play("0 0 1000 0 -");  // a compass that failed this time: no heading of 0 joins the average
  SampleSensors();
  Play("0 0 1000 0 350");
  SampleSensors();
  BYTE o;
  // 10, 12 and 350: the mean of all three, 10 + (2 - 20) / 3.
  EXPECT_NEAR(Result(&o), 4.0, 1e-9);
  EXPECT_EQ(o, ORIENT_PORTRAIT);
  // Asked again in the same cycle (another channel's output): the same result, and the sample
  // taken meanwhile stays for the next cycle.
  Play("0 0 1000 0 50");
  SampleSensors();
  PlatformAdvanceTicks(100);
  EXPECT_NEAR(Result(), 4.0, 1e-9);
  PlatformAdvanceTicks(500);
  EXPECT_NEAR(Result(), 50.0, 1e-9);
  // No sample since: the last heading holds for two cycles after its sample, then is none.
  PlatformAdvanceTicks(1000);
  EXPECT_NEAR(Result(), 50.0, 1e-9);
  PlatformAdvanceTicks(1500);
  EXPECT_EQ(Result(), -1.0);
}

TEST_F(SensorTest, LandscapeTurnsTheHeadingAndACompassSwitchedOffReportsOrientationOnly) {
  Device("0 -1000 0 0 100");
  ASSERT_EQ(OpenSensors(), 0);
  ResetSensorAverage();
  SampleSensors();
  BYTE o;
  EXPECT_NEAR(Result(&o), 190.0, 1e-9);
  EXPECT_EQ(o, ORIENT_LEFT_LANDSCAPE);
  Play("0 1000 0 0 100");
  g_Profile.EnableCompass = 0;
  PublishSensorSettings();
  PlatformAdvanceTicks(1000);
  SampleSensors();
  EXPECT_EQ(Result(&o), -1.0);
  EXPECT_EQ(o, ORIENT_RIGHT_LANDSCAPE);
}

TEST_F(SensorTest, TheTiltAsksForAProfileOnlyOnceItHeldAndHoveringNearTheAngleSwitchesAtMostOnce) {
  g_System.AutoEnable = 3;
  g_System.AutoAngle = 15;
  SetDword(MAIN_KEY, u"CurrentProfile", 2);
  g_System.CurrentProfile = 2;
  PublishSensorSettings();
  Device("0 0 1000 0 -");
  ASSERT_EQ(OpenSensors(), 0);
  ResetSensorAverage();
  SampleSensors();  // upright: profile 1 wanted from now
  PlatformAdvanceTicks(600);
  SampleSensors();
  Result();
  EXPECT_EQ(g_System.CurrentProfile, 2u) << "held 0.6 s only";
  EXPECT_EQ(AtomicRead(&g_Driver.RemoteCommand), 0);
  PlatformAdvanceTicks(500);
  SampleSensors();
  Result();
  EXPECT_EQ(g_System.CurrentProfile, 1u);
  EXPECT_EQ(AtomicRead(&g_Driver.RemoteCommand), 2);
  DWORD stored = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &stored));
  EXPECT_EQ(stored, 1u);
  // Back to flat, then 20 s hovering at 75 degrees (the angle) give or take 5, a sample every
  // 50 ms and a fix every second: at most one switch.
  AtomicWrite(&g_Driver.RemoteCommand, 0);
  Tilt(10);
  for (int i = 0; i < 30; ++i, PlatformAdvanceTicks(50)) SampleSensors();
  Result();
  ASSERT_EQ(g_System.CurrentProfile, 2u);
  int switches = 0;
  DWORD last = g_System.CurrentProfile;
  unsigned seed = 7;
  for (int i = 1; i <= 400; ++i) {
    seed = seed * 1103515245 + 12345;
    Tilt(70 + static_cast<int>((seed >> 16) % 11));
    SampleSensors();
    PlatformAdvanceTicks(50);
    if (i % 20 == 0) {
      Result();
      switches += g_System.CurrentProfile != last;
      last = g_System.CurrentProfile;
    }
  }
  EXPECT_LE(switches, 1);
}

TEST_F(SensorTest, ADeviceThatIsGoneIsOpenedAgainAfterGrowingPauses) {
  g_System.PollRate = 50;
  PublishSensorSettings();
  Device("0 0 1000 0 90");
  ASSERT_EQ(OpenSensors(), 0);
  LONG opens = SensorOpenCount();
  Play("0 - - - -");
  SensorReading r;
  // 20 s of a sample every 50 ms: the device is closed after three failed reads and opened
  // again with pauses of 50, 100, 200 ... up to 10 000 ms, not at every sample.
  for (int i = 0; i < 400; ++i, PlatformAdvanceTicks(50)) EXPECT_EQ(ReadSensors(&r), 1);
  LONG tries = SensorOpenCount() - opens;
  EXPECT_GE(tries, 5);
  EXPECT_LE(tries, 12);
  // It comes back: within the longest pause it is read again.
  Play("0 0 1000 0 90");
  bool back = false;
  for (int i = 0; i < 220 && !back; ++i, PlatformAdvanceTicks(50)) back = ReadSensors(&r) == 0;
  EXPECT_TRUE(back);
  EXPECT_EQ(r.Heading, 90);
}

namespace {

int g_smiState = SMI_ORIENTATION_LEFT_UP;
uint16_t g_smiAccuracy = 25;
// The orientation call hangs 2 s while `g_hang` is set; its callers are counted.
std::atomic<bool> g_hang{false};
std::atomic<int> g_inside{0}, g_mostInside{0}, g_calls{0};
int SmiSupported() { return 1; }
int SmiOrientation(int* state) {
  int now = ++g_inside;
  for (int most = g_mostInside; now > most && !g_mostInside.compare_exchange_weak(most, now);) {
  }
  ++g_calls;
  if (g_hang) Sleep(2000);
  *state = g_smiState;
  --g_inside;
  return SMI_SUCCESS;
}
int SmiPosition(Smi3DPosition* p) {
  *p = Smi3DPosition{100, 5, -3, g_smiAccuracy};
  return SMI_SUCCESS;
}
FARPROC SmiLookup(const char* symbol) {
  std::string s = symbol;
  if (s == "SmiIsPhoneSupported") return reinterpret_cast<FARPROC>(SmiSupported);
  if (s == "SmiOrientationGetState") return reinterpret_cast<FARPROC>(SmiOrientation);
  if (s == "Smi3DOrientationGetPosition") return reinterpret_cast<FARPROC>(SmiPosition);
  return nullptr;
}

}  // namespace

TEST_F(SensorTest, TheMakerLibraryComesFirstAndItsInaccurateHeadingsAreNone) {
  PlatformRegisterModule(u"SamsungMobilesdk_2.dll", SmiLookup);
  ASSERT_EQ(OpenSensors(), 0);
  EXPECT_EQ(SensorCapabilities(), SENSOR_ORIENTATION | SENSOR_COMPASS);
  SensorReading r;
  ASSERT_EQ(ReadSensors(&r), 0);
  EXPECT_EQ(r.Orientation, ORIENT_LEFT_LANDSCAPE);
  EXPECT_EQ(r.HeadingRead, 0) << "accuracy 25 gives no heading";
  g_smiAccuracy = 26;
  g_smiState = SMI_ORIENTATION_FLAT;
  ASSERT_EQ(ReadSensors(&r), 0);
  EXPECT_EQ(r.Orientation, ORIENT_FLAT);
  EXPECT_EQ(r.HeadingRead, 1);
  EXPECT_EQ(r.Heading, 100);
  PlatformRegisterModule(u"SamsungMobilesdk_2.dll", nullptr);
}

TEST_F(SensorTest, PollRateAndTheAverageAreBoundedWhenRead) {
  SetDword(SENSOR_KEY, u"PollRate", 0);
  SetDword(SENSOR_KEY, u"NumAvg", 0xFFFFFFFFu);
  LoadSoftwareSettings();
  EXPECT_EQ(g_System.PollRate, 10u);
  EXPECT_EQ(g_System.NumAvg, 100u);
  SetDword(SENSOR_KEY, u"PollRate", 200);
  SetDword(SENSOR_KEY, u"NumAvg", 3);
  LoadSoftwareSettings();
  EXPECT_EQ(g_System.PollRate, 200u);
  EXPECT_EQ(g_System.NumAvg, 3u);
}


namespace {

class SensorThreadTest : public DriverTest {
 protected:
  double Scale() const override { return 50; }
};

}  // namespace

TEST_F(SensorThreadTest, StoppedAndStartedWhileACallHangsItStaysOneThreadAndIdlesBetweenSamples) {
  LoadSoftwareSettings();
  g_System.PollRate = 100;
  g_System.SleepTime = 500;  // a stop waits 1 s: the hanging call outlasts it
  g_Profile.EnableCompass = 1;
  PlatformRegisterModule(u"SamsungMobilesdk_2.dll", SmiLookup);
  g_smiState = SMI_ORIENTATION_FLAT;
  g_mostInside = 0;
  // A first run before counting: sanitizers start threads of their own at a process's first thread.
  StartSensorThread();
  EndSensorThread();
  const int threads = ProcEntries("/proc/self/task");
  g_hang = true;
  unsigned seed = 11;
  for (int i = 0; i < 100; ++i) {
    StartSensorThread();
    seed = seed * 1103515245 + 12345;
    Sleep((seed >> 16) % 300);
    StopSensorThread();
  }
  // One sensor thread at a time: never two in the backend. (Counting the process's threads would
  // also see one that has ended its work but not yet its last instructions.)
  EXPECT_EQ(g_mostInside, 1) << "two sensor threads in the backend at once";
  // The backend answers again: a sample every PollRate, no spinning in between.
  g_hang = false;
  StartSensorThread();
  ASSERT_TRUE(WaitFor([] { return g_inside == 0; }, 5));
  Sleep(200);
  int before = g_calls;
  Sleep(2000);
  int samples = g_calls - before;
  EXPECT_GE(samples, 10);
  EXPECT_LE(samples, 30) << "the thread samples without its pause";
  EndSensorThread();
  CloseSensors();
  EXPECT_TRUE(WaitFor([&] { return ProcEntries("/proc/self/task") <= threads; }, 5));
  PlatformRegisterModule(u"SamsungMobilesdk_2.dll", nullptr);
}
