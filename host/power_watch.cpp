#include "power_watch.h"
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <cstdint>
#include <systemd/sd-bus.h>
#include "platform/system_bus.h"
#include <thread>
#include "device_manager.h"
#include "support/log.h"

namespace {

sd_bus* g_bus = nullptr;
sd_bus_slot* g_slot = nullptr;
std::thread g_thread;
int g_stopFd = -1;  // readable when the host stops: the watch sleeps until the bus or this wakes it

int OnPrepareForSleep(sd_bus_message* m, void*, sd_bus_error*) {
  int sleeping = 0;
  if (sd_bus_message_read(m, "b", &sleeping) < 0) return 0;
  LogLine(LOG_CRLF | LOG_FLUSH, sleeping ? "System going to sleep: PowerDown" : "System resumed: PowerUp");
  PowerAllDevices(!sleeping);
  return 0;
}

// Until the bus has something or the host stops; false when the host stops.
bool WaitForBus() {
  uint64_t dueUs = UINT64_MAX;
  sd_bus_get_timeout(g_bus, &dueUs);  // an absolute monotonic time, or none
  int timeoutMs = -1;
  if (dueUs != UINT64_MAX) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t nowUs = static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
    timeoutMs = dueUs <= nowUs ? 0 : static_cast<int>((dueUs - nowUs + 999) / 1000);
  }
  pollfd fds[2] = {{sd_bus_get_fd(g_bus), static_cast<short>(sd_bus_get_events(g_bus)), 0}, {g_stopFd, POLLIN, 0}};
  poll(fds, 2, timeoutMs);
  return !(fds[1].revents & POLLIN);
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
  g_stopFd = eventfd(0, EFD_CLOEXEC);
  if (g_stopFd < 0) {
    LogLine(LOG_CRLF | LOG_FLUSH, "No event for the power watch: suspend and resume are not passed to the drivers");
    sd_bus_slot_unref(g_slot);
    sd_bus_unref(g_bus);
    g_slot = nullptr;
    g_bus = nullptr;
    return;
  }
  g_thread = std::thread([] {
    for (;;) {
      int r = sd_bus_process(g_bus, nullptr);
      if (r < 0) {
        LogLine(LOG_CRLF, "System bus lost: suspend and resume are no longer passed on");
        return;
      }
      if (r == 0 && !WaitForBus()) return;
    }
  });
}

void StopPowerWatch() {
  if (!g_bus) return;
  uint64_t one = 1;
  if (write(g_stopFd, &one, sizeof one) < 0) LogLine(LOG_CRLF, "The power watch could not be told to stop");
  if (g_thread.joinable()) g_thread.join();
  close(g_stopFd);
  g_stopFd = -1;
  sd_bus_slot_unref(g_slot);
  sd_bus_flush_close_unref(g_bus);
  g_slot = nullptr;
  g_bus = nullptr;
}
