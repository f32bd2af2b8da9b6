// Where the sensor device's readings come from: Linux IIO in sysfs, iio-sensor-proxy on the
// system bus, or a script of timed readings.
#pragma once
#include <memory>
#include <string>

class SensorBackend {
 public:
  virtual ~SensorBackend() = default;
  virtual const char* Name() const = 0;
  // The acceleration along the device's axes in thousandths of g (see platform/sensor_ioctl.h);
  // false when the G-sensor can't be read.
  virtual bool ReadAcceleration(int* x, int* y, int* z) = 0;
  // The heading in degrees from magnetic north; false without one (or with the compass off).
  virtual bool ReadHeading(double* degrees) = 0;
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
