// Sensors read through iio-sensor-proxy on the system bus: the accelerometer's orientation
// (claimed while the backend lives) and the compass heading (claimed while the compass is on).
// The proxy lets only programs its policy names claim the compass (by default geoclue): a
// refusal means there is no compass, and orientation still works. A proxy that restarts has
// forgotten the claims: its name's new owner is watched and claimed again.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include "platform/system_bus.h"
#include "sensor_backend.h"

namespace {

constexpr char kService[] = "net.hadess.SensorProxy";
constexpr char kPath[] = "/net/hadess/SensorProxy";
constexpr char kCompassPath[] = "/net/hadess/SensorProxy/Compass";
constexpr char kCompassInterface[] = "net.hadess.SensorProxy.Compass";
constexpr uint64_t kCallTimeoutUs = 2000000;

constexpr char kOwnerMatch[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='net.hadess.SensorProxy'";

// The proxy's orientation names as the device's G-sensor would read them (thousandths of g):
// upright is +Y, right side up +X, left side up -X, upside down -Y. "undefined" (lying flat, or
// not known yet) is no orientation: no reading at all.
struct OrientationReading {
  const char* name;
  int x, y, z;
};
constexpr OrientationReading kOrientations[] = {
    {"normal", 0, 1000, 0}, {"bottom-up", 0, -1000, 0}, {"right-up", 1000, 0, 0}, {"left-up", -1000, 0, 0},
};

class ProxyBackend : public SensorBackend {
 public:
  explicit ProxyBackend(sd_bus* bus) : bus_(bus) {
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUs);
    hasAccel_ = Flag(kPath, kService, "HasAccelerometer") && Call(kPath, kService, "ClaimAccelerometer");
    hasCompass_ = Flag(kCompassPath, kCompassInterface, "HasCompass");
    sd_bus_add_match(bus_, &ownerWatch_, kOwnerMatch, OwnerChanged, this);
  }
  ~ProxyBackend() override {
    CompassOff();
    if (hasAccel_) Call(kPath, kService, "ReleaseAccelerometer");
    sd_bus_slot_unref(ownerWatch_);
    sd_bus_flush_close_unref(bus_);
  }
  bool Usable() const { return hasAccel_ || hasCompass_; }
  const char* Name() const override { return "proxy"; }

  bool ReadAcceleration(int* x, int* y, int* z) override {
    std::lock_guard<std::mutex> lock(lock_);
    FollowRestarts();
    if (!hasAccel_) return false;
    char* name = nullptr;
    if (sd_bus_get_property_string(bus_, kService, kPath, kService, "AccelerometerOrientation", nullptr, &name) < 0)
      return false;
    bool known = false;
    for (const OrientationReading& o : kOrientations) {
      if (strcmp(o.name, name) != 0) continue;
      *x = o.x;
      *y = o.y;
      *z = o.z;
      known = true;
    }
    free(name);
    return known;
  }
  bool ReadHeading(double* degrees) override {
    std::lock_guard<std::mutex> lock(lock_);
    FollowRestarts();
    if (!compassClaimed_) return false;
    sd_bus_message* reply = nullptr;
    double heading = -1;  // the proxy's "not known"
    bool ok = sd_bus_get_property(bus_, kService, kCompassPath, kCompassInterface, "CompassHeading", nullptr, &reply,
                                  "d") >= 0 &&
              sd_bus_message_read(reply, "d", &heading) >= 0 && heading >= 0 && heading <= 360;
    sd_bus_message_unref(reply);
    if (ok) *degrees = heading;
    return ok;
  }
  bool CompassOn() override {
    std::lock_guard<std::mutex> lock(lock_);
    if (!compassClaimed_ && hasCompass_) compassClaimed_ = Call(kCompassPath, kCompassInterface, "ClaimCompass");
    return compassClaimed_;
  }
  void CompassOff() override {
    std::lock_guard<std::mutex> lock(lock_);
    if (compassClaimed_) Call(kCompassPath, kCompassInterface, "ReleaseCompass");
    compassClaimed_ = false;
  }

 private:
  static int OwnerChanged(sd_bus_message* m, void* user, sd_bus_error*) {
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && after && *after)
      static_cast<ProxyBackend*>(user)->restarted_ = true;
    return 0;
  }
  // Takes the bus's pending signals; after a restart of the proxy, claims again what was claimed.
  void FollowRestarts() {
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    if (!restarted_) return;
    restarted_ = false;
    hasAccel_ = Flag(kPath, kService, "HasAccelerometer") && Call(kPath, kService, "ClaimAccelerometer");
    hasCompass_ = Flag(kCompassPath, kCompassInterface, "HasCompass");
    if (compassClaimed_) compassClaimed_ = hasCompass_ && Call(kCompassPath, kCompassInterface, "ClaimCompass");
  }
  bool Call(const char* path, const char* interface, const char* method) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(bus_, kService, path, interface, method, &error, nullptr, "");
    sd_bus_error_free(&error);
    return r >= 0;
  }
  bool Flag(const char* path, const char* interface, const char* property) {
    sd_bus_message* reply = nullptr;
    int value = 0;
    bool ok = sd_bus_get_property(bus_, kService, path, interface, property, nullptr, &reply, "b") >= 0 &&
              sd_bus_message_read(reply, "b", &value) >= 0;
    sd_bus_message_unref(reply);
    return ok && value;
  }

  std::mutex lock_;
  sd_bus* bus_;
  sd_bus_slot* ownerWatch_ = nullptr;
  bool hasAccel_ = false, hasCompass_ = false, compassClaimed_ = false, restarted_ = false;
};

}  // namespace

std::unique_ptr<SensorBackend> MakeProxyBackend() {
  sd_bus* bus = PlatformOpenSystemBus();
  if (!bus) return nullptr;
  auto backend = std::make_unique<ProxyBackend>(bus);
  if (!backend->Usable()) return nullptr;
  return backend;
}
