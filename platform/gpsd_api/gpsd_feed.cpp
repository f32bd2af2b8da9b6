// The gpsd reading thread: poll on gpsd's socket and a wake descriptor, so a stop is never kept
// waiting; reconnection after 0.25 s, doubling to 4 s while gpsd stays away.
#include "gpsd_feed.h"
#include "platform/registry_values.h"
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <climits>
#include <cstdlib>
#include "gpsd_position.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {

std::mutex g_lock;  // the position, and starting and stopping
GPS_POSITION g_position;
DWORD g_tick = 0;
bool g_have = false;
std::atomic<bool> g_connected{false}, g_stop{false};
std::thread g_thread;
int g_wake = -1;


// Waits up to `ms` real milliseconds for the wake descriptor; true when woken.
bool Woken(int ms) {
  pollfd p{g_wake, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

std::string Resolved(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : path;
}

// frxd's own outputs: the virtual port's link and its NMEA TCP server (Software\Quorvale\Frxd).
bool IsOwnOutput(const char* device) {
  if (!device || !*device) return false;
  std::string link = PlatformReadText(u"Software\\Quorvale\\Frxd", u"PtyLink", PlatformRoot() + "/dev/ttyFRX0");
  DWORD tcpPort = PlatformReadDword(u"Software\\Quorvale\\Frxd", u"TcpPort", 10110);
  std::string path = device;
  if (path.rfind("tcp://", 0) == 0) {
    size_t colon = path.rfind(':');
    return tcpPort && colon != std::string::npos && strtoul(path.c_str() + colon + 1, nullptr, 10) == tcpPort &&
           (path.find("://127.") != std::string::npos || path.find("://localhost:") != std::string::npos);
  }
  return Resolved(path) == Resolved(link);
}

void Read(gps_data_t* data, void (*onPosition)()) {
  if (!(data->set & (MODE_SET | SATELLITE_SET))) return;
  // A gpsd that reads frxd's own output would hand the driver its own fixes back.
  static std::string refused;
  if (IsOwnOutput(data->dev.path)) {
    if (refused != data->dev.path) {
      refused = data->dev.path;
      LogPrintf(LOG_CRLF | LOG_FLUSH, "gpsd device %s is this system's own output: not read", data->dev.path);
    }
    return;
  }
  GPS_POSITION p;
  GpsdToPosition(*data, &p);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_position = p;
    if (data->set & MODE_SET) {  // a new fix (a sky view alone refreshes the satellites)
      g_tick = GetTickCount();
      g_have = true;
    }
  }
  if ((data->set & MODE_SET) && onPosition) onPosition();
}

void Run(GpsdSettings settings, void (*onPosition)(), void (*onState)()) {
  SetLogName("GpsdApi");
  LogReadEnableSetting();
  int backoff = 250;
  while (!g_stop) {
    gps_data_t data{};
    if (gps_open(settings.host.c_str(), settings.port.c_str(), &data) != 0) {
      if (Woken(backoff)) break;
      backoff = backoff * 2 > 4000 ? 4000 : backoff * 2;
      continue;
    }
    backoff = 250;
    unsigned flags = WATCH_ENABLE | WATCH_JSON | (settings.device.empty() ? 0 : WATCH_DEVICE);
    gps_stream(&data, flags, settings.device.empty() ? nullptr : const_cast<char*>(settings.device.c_str()));
    g_connected = true;
    if (onState) onState();
    while (!g_stop) {
      pollfd p[2] = {{static_cast<int>(data.gps_fd), POLLIN, 0}, {g_wake, POLLIN, 0}};
      if (poll(p, 2, -1) < 0) continue;
      if (p[1].revents) break;
      if (gps_read(&data, nullptr, 0) < 0) break;  // gpsd has gone
      Read(&data, onPosition);
      while (gps_waiting(&data, 0)) {
        if (gps_read(&data, nullptr, 0) < 0) break;
        Read(&data, onPosition);
      }
    }
    gps_close(&data);
    g_connected = false;
    if (onState) onState();
  }
}

}  // namespace

GpsdSettings ReadGpsdSettings() {
  GpsdSettings s;
  s.host = PlatformReadText(u"Software\\Quorvale\\Gpsd", u"Host", s.host);
  s.port = PlatformReadText(u"Software\\Quorvale\\Gpsd", u"Port", s.port);
  s.device = PlatformReadText(u"Software\\Quorvale\\Gpsd", u"Device", s.device);
  return s;
}

bool StartGpsdFeed(void (*onPosition)(), void (*onState)()) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_thread.joinable()) return true;
  g_stop = false;
  g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (g_wake < 0) return false;  // a thread nothing could wake is not started
  g_thread = std::thread(Run, ReadGpsdSettings(), onPosition, onState);
  return true;
}

void StopGpsdFeed() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_thread.joinable()) return;
    g_stop = true;
    uint64_t one = 1;
    if (write(g_wake, &one, sizeof one) < 0) {
      // the counter is full: the thread is woken anyway
    }
    thread = std::move(g_thread);
  }
  thread.join();
  close(g_wake);
  g_wake = -1;
}

bool LatestGpsdPosition(GPS_POSITION* out, DWORD* tick) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_have) return false;
  *out = g_position;
  *tick = g_tick;
  return true;
}

bool GpsdConnected() { return g_connected; }

bool GpsdReachable() {
  GpsdSettings s = ReadGpsdSettings();
  gps_data_t data{};
  if (gps_open(s.host.c_str(), s.port.c_str(), &data) != 0) return false;
  gps_close(&data);
  return true;
}
