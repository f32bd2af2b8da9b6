// The settings the sensor thread works with, copied from the loaded settings under a lock: a
// reload on the reader thread never rewrites a value while a sample is being taken.
#include <mutex>
#include "port_driver/driver_state.h"
#include "sensor_internal.h"
#include "settings_store/settings.h"

namespace {

std::mutex g_lock;
SensorSettings g_settings{};

}  // namespace

void PublishSensorSettings() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_settings = {g_System.PollRate,  g_System.NumAvg,         g_System.CompassAngle,   g_System.AutoEnable,
                g_System.AutoAngle, g_System.CurrentProfile, g_Profile.EnableCompass, g_System.SleepTime,
                g_System.EnableSmooth};
}

SensorSettings SensorSettingsNow() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_settings;
}

void PublishSensorProfile(DWORD profile) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_settings.CurrentProfile = profile;
}
