// iio-sensor-proxy as a program sees it, on a bus of the test's own: the accelerometer's
// orientation and the compass heading, each claimed and released; the compass claim can be
// refused as the proxy's policy refuses programs other than geoclue.
#pragma once
#include <systemd/sd-bus.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

class FakeSensorProxy {
 public:
  struct State {
    std::string orientation = "normal";
    double heading = 100;
    bool refuseCompass = false;
  };

  explicit FakeSensorProxy(const std::string& address) : thread_([this, address] { Serve(address); }) {
    while (!ready_ && !failed_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~FakeSensorProxy() {
    stop_ = true;
    thread_.join();
  }
  bool Ready() const { return ready_ && !failed_; }
  void Change(const State& s) {
    std::lock_guard<std::mutex> lock(lock_);
    state_ = s;
  }
  int Claims() const { return claims_; }

 private:
  static FakeSensorProxy* Self(void* user) { return static_cast<FakeSensorProxy*>(user); }
  State Now() {
    std::lock_guard<std::mutex> lock(lock_);
    return state_;
  }
  static int True(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 1);
  }
  static int Orientation(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* user,
                         sd_bus_error*) {
    return sd_bus_message_append(reply, "s", Self(user)->Now().orientation.c_str());
  }
  static int Heading(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* user,
                     sd_bus_error*) {
    return sd_bus_message_append(reply, "d", Self(user)->Now().heading);
  }
  static int Claim(sd_bus_message* call, void* user, sd_bus_error*) {
    ++Self(user)->claims_;
    return sd_bus_reply_method_return(call, "");
  }
  static int ClaimCompass(sd_bus_message* call, void* user, sd_bus_error* error) {
    if (Self(user)->Now().refuseCompass)
      return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "not allowed");
    return Claim(call, user, error);
  }
  static int Release(sd_bus_message* call, void*, sd_bus_error*) { return sd_bus_reply_method_return(call, ""); }

  void Serve(const std::string& address) {
    static const sd_bus_vtable accel[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ClaimAccelerometer", "", "", Claim, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ReleaseAccelerometer", "", "", Release, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("HasAccelerometer", "b", True, 0, 0),
        SD_BUS_PROPERTY("AccelerometerOrientation", "s", Orientation, 0, 0),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable compass[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("ClaimCompass", "", "", ClaimCompass, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ReleaseCompass", "", "", Release, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("HasCompass", "b", True, 0, 0),
        SD_BUS_PROPERTY("CompassHeading", "d", Heading, 0, 0),
        SD_BUS_VTABLE_END};
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/net/hadess/SensorProxy", "net.hadess.SensorProxy", accel, this) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/net/hadess/SensorProxy/Compass", "net.hadess.SensorProxy.Compass",
                                 compass, this) < 0 ||
        sd_bus_request_name(bus, "net.hadess.SensorProxy", 0) < 0) {
      failed_ = true;
      sd_bus_unref(bus);
      return;
    }
    ready_ = true;
    while (!stop_) {
      while (sd_bus_process(bus, nullptr) > 0) {
      }
      sd_bus_wait(bus, 20000);
    }
    sd_bus_flush_close_unref(bus);
  }

  std::mutex lock_;
  State state_;
  std::atomic<int> claims_{0};
  std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
  std::thread thread_;
};
