// Receivers plugged in while the driver waits for one: the folders of the devices mapped to COM
// ports are watched with inotify, and an event is set when a mapped device appears (a USB
// receiver's /dev/ttyACM0, its /dev/serial/by-id link, a simulator's link).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/serial.h"
#include "platform/wide.h"

namespace {

constexpr int kPollMs = 500;

// Never destroyed: the watching thread lives until the process ends.
std::mutex& g_lock = *new std::mutex;
std::set<std::string>& g_devices = *new std::set<std::string>;  // the mapped devices
std::set<std::string>& g_present = *new std::set<std::string>;  // those that existed at the last look
std::set<std::string>& g_readable = *new std::set<std::string>;  // those this process could read then
std::set<std::string>& g_names = *new std::set<std::string>;     // base names of the mapped devices
std::set<std::string>& g_folders = *new std::set<std::string>;  // folders to watch, with those above
std::set<std::string>& g_watched = *new std::set<std::string>;
HANDLE g_event = nullptr;
int g_inotify = -1;

std::string Base(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The devices of every COMn: key under SerialPorts.
std::set<std::string> MappedDevices() {
  std::set<std::string> devices;
  HKEY ports;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIAL_PORTS_KEY, 0, 0, &ports) != ERROR_SUCCESS) return devices;
  for (DWORD i = 0;; ++i) {
    WCHAR name[64];
    DWORD units = 64;
    if (RegEnumKeyExW(ports, i, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY port;
    if (RegOpenKeyExW(ports, name, 0, 0, &port) != ERROR_SUCCESS) continue;
    WCHAR device[256] = {};
    DWORD size = sizeof device - 2;
    if (RegQueryValueExW(port, u"Device", nullptr, nullptr, reinterpret_cast<BYTE*>(device), &size) == ERROR_SUCCESS &&
        device[0] == u'/')
      devices.insert(WideToUtf8(device));
    RegCloseKey(port);
  }
  RegCloseKey(ports);
  return devices;
}

// True when a mapped device exists now that did not at the last look (it covers a link made in a
// folder that appeared a moment before its watch did), or may now be read that could not be (its
// permissions given after it appeared). A device that stays unreadable wakes no one, however
// often its attributes change.
bool NewlyPresent() {
  bool arrived = false;
  for (const auto& d : g_devices) {
    bool now = access(d.c_str(), F_OK) == 0;
    bool readable = now && access(d.c_str(), R_OK) == 0;
    if ((now && !g_present.count(d)) || (readable && !g_readable.count(d))) arrived = true;
    if (now) g_present.insert(d);
    else g_present.erase(d);
    if (readable) g_readable.insert(d);
    else g_readable.erase(d);
  }
  return arrived;
}

void Watch() {
  char buffer[4096] __attribute__((aligned(__alignof__(inotify_event))));
  for (;;) {
    // Each look follows the events (or half a second): a device that appeared, or became
    // readable, since the last one sets the event.
    bool arrived = false;
    {
      std::lock_guard<std::mutex> lock(g_lock);
      for (const auto& folder : g_folders)
        if (!g_watched.count(folder) &&
            inotify_add_watch(g_inotify, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0)
          g_watched.insert(folder);
      arrived = NewlyPresent();
    }
    if (arrived) SetEvent(g_event);
    pollfd p{g_inotify, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    ssize_t n = read(g_inotify, buffer, sizeof buffer);
    bool created = false;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      if (e->len) {
        std::lock_guard<std::mutex> lock(g_lock);
        // A mapped device made anew (however quickly it was replaced); its attributes changing
        // counts only when that lets it be read (the next look). A folder on the way to a device
        // (/dev/serial/by-id at the first plug): watch what now exists.
        if ((e->mask & (IN_CREATE | IN_MOVED_TO)) && g_names.count(e->name)) created = true;
        if (e->mask & IN_ISDIR) g_watched.clear();
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    if (created) SetEvent(g_event);
  }
}

}  // namespace

HANDLE PlatformSerialArrivalEvent() {
  std::set<std::string> devices = MappedDevices();
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_event) {
    g_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_inotify < 0) {
      fprintf(stderr, "platform: no inotify (%s): receivers plugged in later are found by the scan\n",
              strerror(errno));
      g_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // never set
      return g_event;
    }
    g_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread(Watch).detach();  // lives as long as the process
  }
  if (g_inotify < 0) return g_event;
  for (const auto& d : devices) {
    g_names.insert(Base(d));
    if (g_devices.insert(d).second && access(d.c_str(), F_OK) == 0) {
      g_present.insert(d);
      if (access(d.c_str(), R_OK) == 0) g_readable.insert(d);
    }
    // The device's folder and every folder above it: the ones that do not exist yet appear.
    for (std::string f = Folder(d);; f = Folder(f)) {
      g_folders.insert(f);
      if (f == "/") break;
    }
  }
  return g_event;
}
