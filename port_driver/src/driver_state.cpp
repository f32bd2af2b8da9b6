#include "port_driver/driver_state.h"
#include "clock_feed.h"
#include "fix_history_lock.h"
#include "settings_store/settings.h"

DriverState g_Driver = {0, 0, PORT_NONE, PORT_NONE, PORT_NONE, {}, {}, 0, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, 1};

ProfileSettings SourceProfile() {
  ProfileSettings p = g_Profile;
  if (!AtomicRead(&g_Driver.SourceCorrections)) {
    p.EnableSpeed = 0;
    p.EnableCourse = 0;
    p.LagAdvance = 0;
  }
  return p;
}

void LoadDriverSettings(bool profileOnly) {
  HistoryGuard guard;
  if (profileOnly) LoadSoftwareSettings();
  else LoadAllSettings(nullptr);
  if (!profileOnly) LoadClockFeed();
}
