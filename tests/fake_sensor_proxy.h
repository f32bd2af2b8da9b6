// iio-sensor-proxy as a program sees it, on a bus of the test's own: the accelerometer's
// orientation and the compass heading, each claimed and released; the compass claim can be
// refused as the proxy's policy refuses programs other than geoclue.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include "fake_bus_server.h"

class FakeSensorProxy {
 public:
  struct State {
    std::string orientation = "normal";
    double heading = 100;
    bool refuseCompass = false;
  };

  explicit FakeSensorProxy(const std::string& address)
      : server_(address, [this](sd_bus* bus) { return Register(bus); }) {}
  bool Ready() const { return server_.Ready(); }
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

  bool Register(sd_bus* bus) {
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
    return sd_bus_add_object_vtable(bus, nullptr, "/net/hadess/SensorProxy", "net.hadess.SensorProxy", accel, this) >= 0 &&
           sd_bus_add_object_vtable(bus, nullptr, "/net/hadess/SensorProxy/Compass", "net.hadess.SensorProxy.Compass",
                                    compass, this) >= 0 &&
           sd_bus_request_name(bus, "net.hadess.SensorProxy", 0) >= 0;
  }

  std::mutex lock_;
  State state_;
  std::atomic<int> claims_{0};
  FakeBusServer server_;  // last: it serves as soon as it is made
};
