// The sensor device SEN0: over each of its backends: a fake IIO tree in sysfs, a fake
// iio-sensor-proxy on a private bus, and a script; and what it refuses.
#include <sys/stat.h>
#include <fstream>
#include <memory>
#include "driver_fixture.h"
#include "fake_sensor_proxy.h"
#include "platform/sensor_ioctl.h"
#include "sensor_device.h"

namespace {

class SensorDeviceTest : public DriverTest {
 protected:
  void TearDown() override {
    if (open_) SEN_Close(open_);
    if (device_) SEN_Deinit(device_);
    unsetenv("FERROX_SYSTEM_BUS");
    DriverTest::TearDown();
  }
  bool Start(const char16_t* backend) {
    SetString(u"Software\\Quorvale\\Sensors", u"Backend", backend);
    device_ = SEN_Init(nullptr, nullptr);
    if (!device_) return false;
    open_ = SEN_Open(device_, 0, 0);
    return open_ != 0;
  }
  bool Gravity(SensorGReading* g) {
    DWORD got = 0;
    return SEN_IOControl(open_, IOCTL_SENSOR_READ_GSENSOR, nullptr, 0, reinterpret_cast<BYTE*>(g), sizeof *g, &got) &&
           got == sizeof *g;
  }
  // The heading, or -1 when the compass gave none.
  int Heading(DWORD length = sizeof(SensorCompassReading)) {
    SensorCompassReading c{};
    DWORD got = 0;
    if (!SEN_IOControl(open_, IOCTL_SENSOR_READ_COMPASS, nullptr, 0, reinterpret_cast<BYTE*>(&c), length, &got))
      return -1;
    return c.Heading;
  }
  bool CompassOn() {
    DWORD got;
    return SEN_IOControl(open_, IOCTL_SENSOR_COMPASS_ON, nullptr, 0, nullptr, 0, &got);
  }
  static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text << "\n"; }

  DWORD device_ = 0, open_ = 0;
};

}  // namespace

TEST_F(SensorDeviceTest, AnIioTreeGivesGravityThroughItsMountMatrixAndTheCompassHeading) {
  // An accelerometer mounted turned a quarter: its x is the device's y. Upright, gravity pulls
  // along -y of the device, so the sensor reads -9.81 m/s^2 on its x axis (raw -1000 x 0.00981).
  std::string accel = root_ + "/iio/iio:device0", compass = root_ + "/iio/iio:device1";
  mkdir((root_ + "/iio").c_str(), 0755);
  mkdir(accel.c_str(), 0755);
  mkdir(compass.c_str(), 0755);
  Write(accel + "/in_accel_x_raw", "-1000");
  Write(accel + "/in_accel_y_raw", "0");
  Write(accel + "/in_accel_z_raw", "20");
  Write(accel + "/in_accel_scale", "0.009806650");
  Write(accel + "/in_accel_z_offset", "-20");
  Write(accel + "/mount_matrix", "0, 1, 0; 1, 0, 0; 0, 0, 1");
  Write(compass + "/name", "magn_3d");
  Write(compass + "/in_rot_from_north_magnetic_tilt_comp_raw", "2004");
  Write(compass + "/in_rot_scale", "0.1");
  SetString(u"Software\\Quorvale\\Sensors", u"IioRoot", Utf8ToWide((root_ + "/iio").c_str()).c_str());
  ASSERT_TRUE(Start(u"iio"));
  SensorGReading g;
  ASSERT_TRUE(Gravity(&g));
  EXPECT_EQ(g.X, 0);
  EXPECT_EQ(g.Y, 1000);  // upright: +Y
  EXPECT_EQ(g.Z, 0);     // the offset takes the sensor's bias away
  EXPECT_EQ(Heading(), -1) << "the compass is read only while it is on";
  ASSERT_TRUE(CompassOn());
  EXPECT_EQ(Heading(), 200);  // 2004 x 0.1, to whole degrees
  // Lying flat, screen up: gravity pulls along -z, which the device reads as -Z.
  Write(accel + "/in_accel_x_raw", "0");
  Write(accel + "/in_accel_z_raw", "-980");
  ASSERT_TRUE(Gravity(&g));
  EXPECT_EQ(g.Y, 0);
  EXPECT_EQ(g.Z, -1000);
}

TEST_F(SensorDeviceTest, TheProxyGivesOrientationAndTheHeadingUnlessItRefusesTheCompass) {
  std::string address = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  FakeSensorProxy proxy(address);
  ASSERT_TRUE(proxy.Ready());
  FakeSensorProxy::State s;
  s.orientation = "left-up";
  s.heading = 100.4;
  proxy.Change(s);
  ASSERT_TRUE(Start(u"auto")) << "auto takes the proxy when it answers";
  EXPECT_STREQ(SensorBackendName(), "proxy");
  SensorGReading g;
  ASSERT_TRUE(Gravity(&g));
  EXPECT_EQ(g.X, -1000);
  ASSERT_TRUE(CompassOn());
  EXPECT_EQ(Heading(), 100);
  EXPECT_EQ(proxy.Claims(), 2);  // the accelerometer and the compass
  SEN_Close(open_);
  SEN_Deinit(device_);
  // The proxy's policy refuses the compass: no compass, orientation still there.
  s.refuseCompass = true;
  s.orientation = "undefined";
  proxy.Change(s);
  ASSERT_TRUE(Start(u"proxy"));
  DWORD got = 1;
  EXPECT_FALSE(SEN_IOControl(open_, IOCTL_SENSOR_COMPASS_ON, nullptr, 0, nullptr, 0, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Heading(), -1);
  EXPECT_FALSE(Gravity(&g)) << "\"undefined\" is no orientation (and would read as flat)";
  s.orientation = "normal";
  proxy.Change(s);
  EXPECT_TRUE(Gravity(&g));
}

TEST_F(SensorDeviceTest, AProxyThatRestartsIsClaimedAgain) {
  std::string address = StartPrivateBus();
  ASSERT_FALSE(HasFailure());
  setenv("FERROX_SYSTEM_BUS", address.c_str(), 1);
  auto proxy = std::make_unique<FakeSensorProxy>(address);
  ASSERT_TRUE(proxy->Ready());
  ASSERT_TRUE(Start(u"proxy"));
  ASSERT_TRUE(CompassOn());
  EXPECT_EQ(proxy->Claims(), 2);
  proxy.reset();
  proxy = std::make_unique<FakeSensorProxy>(address);
  ASSERT_TRUE(proxy->Ready());
  SensorGReading g;
  // The next reads find the new owner of the name and claim the accelerometer and compass again.
  EXPECT_TRUE(WaitFor([&] {
    Gravity(&g);
    return proxy->Claims() == 2;
  }, 5)) << proxy->Claims() << " claims of the new proxy";
  EXPECT_EQ(Heading(), 100);
}

TEST_F(SensorDeviceTest, AScriptPlaysItsTimedReadingsAndTheDeviceHonoursLengths) {
  PlatformSetManualTicks(true, 1000);
  std::string script = root_ + "/sensors.txt";
  Write(script, "# ms X Y Z heading\n0 0 1000 0 90\n500 0 1000 0 -\n1000 - - - -\n");
  ASSERT_TRUE(Start((u"script:" + Utf8ToWide(script.c_str())).c_str()));
  ASSERT_TRUE(CompassOn());
  SensorGReading g;
  ASSERT_TRUE(Gravity(&g));
  EXPECT_EQ(g.Y, 1000);
  EXPECT_EQ(Heading(), 90);
  // A compass reading needs room for the whole reading.
  EXPECT_EQ(Heading(0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Heading(7), -1);
  DWORD got = 0;
  EXPECT_FALSE(SEN_IOControl(open_, IOCTL_SENSOR_READ_GSENSOR, nullptr, 0, reinterpret_cast<BYTE*>(&g), 19, &got));
  PlatformAdvanceTicks(500);
  EXPECT_TRUE(Gravity(&g));
  EXPECT_EQ(Heading(), -1) << "'-' is a compass without a reading";
  PlatformAdvanceTicks(500);
  EXPECT_FALSE(Gravity(&g)) << "both '-': the device can't be read";
  // A script written anew plays from its start.
  Write(script, "0 -1000 0 0 270");
  ASSERT_TRUE(Gravity(&g));
  EXPECT_EQ(g.X, -1000);
  EXPECT_EQ(Heading(), 270);
  EXPECT_FALSE(SEN_IOControl(open_, 0x03000009, nullptr, 0, nullptr, 0, &got));
  PlatformSetManualTicks(false, 0);
}

TEST_F(SensorDeviceTest, WithoutSensorsThereIsNoDevice) {
  EXPECT_FALSE(Start(u"none"));
  SetString(u"Software\\Quorvale\\Sensors", u"IioRoot", Utf8ToWide((root_ + "/nothing").c_str()).c_str());
  EXPECT_FALSE(Start(u"iio"));
  EXPECT_FALSE(Start(u"script:/nonexistent/sensors.txt"));
  EXPECT_FALSE(Start(u"gyroscope"));
}

TEST_F(SensorDeviceTest, TheProbePrintsTheReadingsAsTheDriverSeesThem) {
  std::string script = root_ + "/sensors.txt";
  Write(script, "0 -1000 0 0 100");
  std::string tool = std::string(FERROX_SENSORS_TOOL) + " --root " + root_;
  std::string out;
  ASSERT_EQ(RunCommand(tool + " --backend script:" + script + " --count 2 --interval 10 2>&1", &out), 0) << out;
  EXPECT_EQ(out,
            "capabilities: orientation compass\n"
            "orientation LLand pitch 90 roll -90 heading 100\n"
            "orientation LLand pitch 90 roll -90 heading 100\n");
  out.clear();
  EXPECT_EQ(RunCommand(tool + " --backend none 2>&1", &out), 1);
  EXPECT_EQ(out, "ferrox-sensors: no sensors (backend none)\n");
  out.clear();
  EXPECT_EQ(RunCommand(tool + " --count x 2>&1", &out), 1);
  EXPECT_EQ(out, "ferrox-sensors: --count takes a number from 0 to 1000000000\n");
  out.clear();
  EXPECT_EQ(RunCommand(tool + " --help", &out), 0);
  EXPECT_NE(out.find("Usage: ferrox-sensors"), std::string::npos);
}
