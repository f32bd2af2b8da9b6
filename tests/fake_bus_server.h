// A service of the test's own on a private bus, served by a thread of its own: `setup` adds its
// objects and name to the connection, `eachRound` (optional) runs after every round of requests.
#pragma once
#include <systemd/sd-bus.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

class FakeBusServer {
 public:
  FakeBusServer(const std::string& address, std::function<bool(sd_bus*)> setup,
                std::function<void(sd_bus*)> eachRound = {})
      : setup_(std::move(setup)), eachRound_(std::move(eachRound)), thread_([this, address] { Serve(address); }) {
    while (!ready_ && !failed_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~FakeBusServer() {
    stop_ = true;
    thread_.join();
  }
  bool Ready() const { return ready_ && !failed_; }

 private:
  void Serve(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0 || !setup_(bus)) {
      failed_ = true;
      sd_bus_unref(bus);
      return;
    }
    ready_ = true;
    while (!stop_) {
      while (sd_bus_process(bus, nullptr) > 0) {
      }
      if (eachRound_) eachRound_(bus);
      sd_bus_wait(bus, 20000);
    }
    sd_bus_flush_close_unref(bus);
  }

  std::function<bool(sd_bus*)> setup_;
  std::function<void(sd_bus*)> eachRound_;
  std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
  std::thread thread_;
};
