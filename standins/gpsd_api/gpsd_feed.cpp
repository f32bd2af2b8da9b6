// The gpsd reading thread: poll on gpsd's socket and a wake descriptor, so a stop is never kept
// waiting; reconnection after 0.25 s, doubling to 4 s while gpsd stays away.
#include "settings_store/settings.h"
#include "gpsd_feed.h"
#include "platform/registry_values.h"
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstdio>
#include <sys/eventfd.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <mutex>
#include <memory>
#include <climits>
#include <cstdlib>
#include "gpsd_position.h"
#include "platform/exit_safe_thread.h"
#include "platform/platform.h"
#include "support/log.h"

namespace {

constexpr int kProbeMs = 1000;  // how long a connection to gpsd may take before it counts as absent

// One run of the reading thread: its own stop flag and wake descriptor, so a feed that starts
// while the last one is still ending never shares them.
struct Feed {
  std::atomic<bool> stop{false};
  int wake = -1;
  ~Feed() {
    if (wake >= 0) close(wake);
  }
};

std::mutex g_lock;  // the position
GPS_POSITION g_position;
DWORD g_tick = 0;
bool g_have = false;
timespec_t g_lastFixTime{};
std::atomic<bool> g_connected{false};
char g_refused[256];  // the last own-output device refused, logged once

std::mutex g_lifecycle;  // starting and stopping, one at a time, for the whole of each
ExitSafeThread g_thread;  // declared last: stopped at exit before what it uses is destroyed

// Waits up to `ms` real milliseconds for the feed's wake descriptor; true when woken.
bool Woken(const Feed& feed, int ms) {
  pollfd p{feed.wake, POLLIN, 0};
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
  if (IsOwnOutput(data->dev.path)) {
    if (strcmp(g_refused, data->dev.path) != 0) {
      snprintf(g_refused, sizeof g_refused, "%s", data->dev.path);
      LogPrintf(LOG_CRLF | LOG_FLUSH, "gpsd device %s is this system's own output: not read", data->dev.path);
    }
    return;
  }
  // Only a report of a fix with a time not seen before is a new position: a sky view (which
  // leaves the last report's flags set) or the same fix again only refreshes the record.
  bool newFix = (data->set & MODE_SET) && data->fix.time.tv_sec > 0 &&
                (data->fix.time.tv_sec != g_lastFixTime.tv_sec || data->fix.time.tv_nsec != g_lastFixTime.tv_nsec);
  GPS_POSITION p;
  GpsdToPosition(*data, &p);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_position = p;
    if (newFix) {
      g_lastFixTime = data->fix.time;
      g_tick = GetTickCount();
      g_have = true;
    }
  }
  if (newFix && onPosition) onPosition();
}

void Run(Feed& feed, GpsdSettings settings, void (*onPosition)(), void (*onState)()) {
  SetLogName("GpsdApi");
  LogReadEnableSetting(MAIN_KEY);  // one switch for every log: the driver's
  int backoff = 250;
  while (!feed.stop) {
    gps_data_t data{};
    if (gps_open(settings.host.c_str(), settings.port.c_str(), &data) != 0) {
      if (Woken(feed, backoff)) break;
      backoff = backoff * 2 > 4000 ? 4000 : backoff * 2;
      continue;
    }
    backoff = 250;
    unsigned flags = WATCH_ENABLE | WATCH_JSON | (settings.device.empty() ? 0 : WATCH_DEVICE);
    gps_stream(&data, flags, settings.device.empty() ? nullptr : const_cast<char*>(settings.device.c_str()));
    g_connected = true;
    if (onState) onState();
    while (!feed.stop) {
      pollfd p[2] = {{static_cast<int>(data.gps_fd), POLLIN, 0}, {feed.wake, POLLIN, 0}};
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
  std::lock_guard<std::mutex> lifecycle(g_lifecycle);
  if (g_thread.Running()) return true;
  auto feed = std::make_shared<Feed>();
  feed->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (feed->wake < 0) return false;  // a thread nothing could wake is not started
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_have = false;
    g_lastFixTime = {};
  }
  GpsdSettings settings = ReadGpsdSettings();
  g_thread.Start([feed, settings, onPosition, onState] { Run(*feed, settings, onPosition, onState); },
                 [feed] {
                   feed->stop = true;
                   uint64_t one = 1;
                   if (write(feed->wake, &one, sizeof one) < 0) {
                     // the counter is full: the thread is woken anyway
                   }
                 });
  return true;
}

void StopGpsdFeed() {
  std::lock_guard<std::mutex> lifecycle(g_lifecycle);
  g_thread.Finish();
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
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(s.host.c_str(), s.port.c_str(), &hints, &found) != 0) return false;
  bool reached = false;
  for (addrinfo* a = found; a && !reached; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      reached = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      reached = poll(&p, 1, kProbeMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return reached;
}
