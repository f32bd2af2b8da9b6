#include "power_watch.h"
#include <atomic>
#include <cstdlib>
#include <systemd/sd-bus.h>
#include "platform/system_bus.h"
#include <thread>
#include "device_manager.h"
#include "support/log.h"

namespace {

constexpr uint64_t kWaitUs = 200000;  // how soon the watch notices that the host stops

sd_bus* g_bus = nullptr;
sd_bus_slot* g_slot = nullptr;
std::thread g_thread;
std::atomic<bool> g_stop{false};

int OnPrepareForSleep(sd_bus_message* m, void*, sd_bus_error*) {
  int sleeping = 0;
  if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
  LogLine(LOG_CRLF | LOG_FLUSH, sleeping ? "System going to sleep: PowerDown" : "System resumed: PowerUp");
  PowerAllDevices(!sleeping);
  return 0;
}


}  // namespace

void StartPowerWatch() {
  g_bus = PlatformOpenSystemBus();
  if (!g_bus || sd_bus_match_signal(g_bus, &g_slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                    "org.freedesktop.login1.Manager", "PrepareForSleep", OnPrepareForSleep,
                                    nullptr) < 0) {
    LogLine(LOG_CRLF | LOG_FLUSH, "No system bus: suspend and resume are not passed to the drivers");
    if (g_bus) sd_bus_unref(g_bus);
    g_bus = nullptr;
    return;
  }
  g_stop = false;
  g_thread = std::thread([] {
    while (!g_stop) {
      int r = sd_bus_process(g_bus, nullptr);
      if (r < 0) {
        LogLine(LOG_CRLF, "System bus lost: suspend and resume are no longer passed on");
        return;
      }
      if (r == 0) sd_bus_wait(g_bus, kWaitUs);
    }
  });
}

void StopPowerWatch() {
  if (!g_bus) return;
  g_stop = true;
  if (g_thread.joinable()) g_thread.join();
  sd_bus_slot_unref(g_slot);
  sd_bus_flush_close_unref(g_bus);
  g_slot = nullptr;
  g_bus = nullptr;
}
