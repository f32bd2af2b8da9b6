// Where the sensor device's readings come from: Linux IIO in sysfs, iio-sensor-proxy on the
// system bus, or a script of timed readings.
#pragma once
#include <memory>
#include <string>

// One reading in the device's conventions (see platform/sensor_ioctl.h): acceleration in
// thousandths of g, heading in degrees from magnetic north.
struct SensorSample {
  bool hasAcceleration = false;
  int x = 0, y = 0, z = 0;
  bool hasHeading = false;
  double heading = 0;
};

class SensorBackend {
 public:
  virtual ~SensorBackend() = default;
  virtual const char* Name() const = 0;
  // The current reading; false when the sensors can't be read (the device is gone).
  virtual bool Read(SensorSample* sample) = 0;
  // Claims the compass; false when there is none or it may not be used.
  virtual bool CompassOn() = 0;
  virtual void CompassOff() = 0;
};

std::unique_ptr<SensorBackend> MakeIioBackend(const std::string& root);
std::unique_ptr<SensorBackend> MakeProxyBackend();
std::unique_ptr<SensorBackend> MakeScriptBackend(const std::string& path);
// The backend a setting names: "auto" (the proxy, else IIO), "iio", "proxy", "script:PATH" or
// "none"; null when it has no sensors. `iioRoot` is where IIO devices are looked for.
std::unique_ptr<SensorBackend> MakeSensorBackend(const std::string& choice, const std::string& iioRoot);
