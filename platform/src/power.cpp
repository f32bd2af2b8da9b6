// Power status from /sys/class/power_supply: on AC when any supply of type Mains is online.
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include "platform/devices.h"
#include "platform/files.h"

BOOL GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL) {
  if (!status) return FALSE;
  memset(status, 0, sizeof *status);
  status->ACLineStatus = 255;
  status->BatteryLifePercent = 255;
  if (const char* o = getenv("FERROX_POWER"); o && *o) {
    status->ACLineStatus = strcmp(o, "battery") == 0 ? 0 : 1;
    return TRUE;
  }
  DIR* d = opendir("/sys/class/power_supply");
  if (!d) return FALSE;
  bool answered = false, online = false;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string base = std::string("/sys/class/power_supply/") + e->d_name;
    std::string type, value;
    PlatformReadLinuxFile(base + "/type", &type);
    type.erase(type.find_last_not_of(" \n") + 1);
    if (type != "Mains" && type != "USB") continue;
    if (PlatformReadLinuxFile(base + "/online", &value) && !value.empty()) {
      answered = true;
      online = online || value[0] == '1';
    }
  }
  closedir(d);
  if (!answered) return FALSE;
  status->ACLineStatus = online ? 1 : 0;
  return TRUE;
}
