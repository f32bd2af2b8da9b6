#include "status_command.h"
#include "platform/holders.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include "host_settings.h"
#include "platform/platform.h"
#include "platform/registry_values.h"
#include "settings_store/settings.h"
#include "support/reg_helpers.h"

namespace {

int NotRunning() {
  fprintf(stderr, "frxd: frxd is not running on %s\n", PlatformRoot().c_str());
  return 1;
}

// The age of the last good fix the driver stored, and where it was; false when it stored none.
bool LastFix(std::string* where, double* ageSeconds) {
  RegKeyHolder key;
  if (OpenKey(u"Software\\Quorvale\\CellTower", key.Out()) != ERROR_SUCCESS) return false;
  FILETIME stored{};
  bool ok = ReadValue(key, u"LastGpsUpdateTime", &stored, sizeof stored) == ERROR_SUCCESS;
  if (!ok) return false;
  *where = PlatformReadText(u"Software\\Quorvale\\CellTower", u"Latitude", "?") + " " +
           PlatformReadText(u"Software\\Quorvale\\CellTower", u"Longitude", "?");
  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME current;
  SystemTimeToFileTime(&now, &current);
  *ageSeconds = static_cast<double>(static_cast<int64_t>(FileTimeToU64(current) - FileTimeToU64(stored))) / 1e7;
  return true;
}

}  // namespace

int RunningHostPid() {
  std::string path = PlatformRoot() + "/frxd.lock";
  FdHolder fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return 0;
  int pid = 0;
  if (flock(fd.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {  // held: frxd runs
    char text[32] = {};
    ssize_t n = pread(fd.Get(), text, sizeof text - 1, 0);
    pid = n > 0 ? atoi(text) : -1;
  }
  return pid;
}

int PrintHostStatus() {
  if (access(PlatformRoot().c_str(), F_OK) != 0) return NotRunning();
  int pid = RunningHostPid();
  if (pid == 0) return NotRunning();
  HostSettings s = LoadHostSettings();
  printf("frxd: running, pid %d, on %s\n", pid, PlatformRoot().c_str());
  printf("virtual port: %s\n", s.ptyLink.c_str());
  if (s.tcpPort) printf("NMEA server: %s:%u, %s clients\n", s.tcpAddress.c_str(), s.tcpPort,
                        PlatformReadText(HOST_KEY u"\\Status", u"Clients", "0").c_str());
  else printf("NMEA server: off\n");
  printf("source: %s\n", PlatformReadText(MAIN_KEY u"\\Status", u"Source", "none yet").c_str());
  for (int n = 1; n <= 9; ++n) {
    WCHAR name[8];
    char text[8], device[256];
    snprintf(text, sizeof text, "COM%d:", n);
    Utf8ToWide(text, name, 8);
    if (!PlatformSerialDevice(name, device, sizeof device)) continue;
    std::string state = PlatformReadText(MAIN_KEY u"\\Status", name, "not opened yet (no program has read the port)");
    printf("%s %s: %s\n", text, device, state.c_str());
  }
  std::string where;
  double age;
  if (LastFix(&where, &age)) printf("last fix: %s, %.0f s ago\n", where.c_str(), age);
  else printf("last fix: none stored\n");
  DWORD logs = 0;
  RegKeyHolder key;
  if (OpenKey(MAIN_KEY, key.Out()) == ERROR_SUCCESS) ReadDword(key, u"EnableLogs", &logs);
  printf("logs: %s\n", logs ? "on (EnableLogs)" : "off (EnableLogs 0)");
  return 0;
}

int StopRunningHost() {
  int pid = RunningHostPid();
  if (pid <= 0) return NotRunning();
  if (kill(pid, SIGTERM) != 0) {
    fprintf(stderr, "frxd: cannot stop pid %d: %s\n", pid, strerror(errno));
    return 1;
  }
  for (int i = 0; i < 1000 && RunningHostPid() != 0; ++i) usleep(10000);
  if (RunningHostPid() != 0) {
    fprintf(stderr, "frxd: pid %d did not end within 10 s\n", pid);
    return 1;
  }
  printf("frxd: stopped pid %d\n", pid);
  return 0;
}
