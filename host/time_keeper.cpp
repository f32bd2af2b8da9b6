// The time keeper's channel: opened at start (tried again while the driver has none free),
// read and its batches dropped; the driver sends the samples itself at each fix.
#include "time_keeper.h"
#include <atomic>
#include <chrono>
#include <thread>
#include "channel_pump.h"
#include "device_manager.h"
#include "support/log.h"

namespace {

std::thread g_thread;
std::atomic<bool> g_stop{false};
constexpr int kRetryMs = 500;

void Keep(std::u16string driverKey) {
  std::string batch;
  bool said = false;
  while (!g_stop) {
    HANDLE channel = OpenChannel(DeviceNameOf(driverKey.c_str()));
    if (!channel) {
      if (!said) LogEvent("ChronySocket: no free channel of the driver to read the receiver with, trying again");
      said = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
      continue;
    }
    said = false;
    while (!g_stop && NextBatch(channel, &batch)) {
    }
    CloseHandle(channel);
  }
}

}  // namespace

void StartTimeKeeper(const std::u16string& driverKey, const std::string& daemonSocket) {
  if (daemonSocket.empty() || g_thread.joinable()) return;
  g_stop = false;
  g_thread = std::thread(Keep, driverKey);
}

void StopTimeKeeper() {
  if (!g_thread.joinable()) return;
  g_stop = true;  // the read ends within the reader's cycle
  g_thread.join();
}
