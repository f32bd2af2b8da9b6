// The apply operation of every page.
#include "apply_settings.h"
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "status_reader.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

// Writes the builtin key's Flags and asks the device manager to activate from the key: with
// the no-load flags the running driver is unloaded, with 0 it is loaded afresh.
int Activate(DWORD flags) {
  HKEY key;
  if (OpenKey(g_System.BuiltinKey, &key) != ERROR_SUCCESS) {
    LogPrintf(LOG_CRLF, "Can not open %s", Utf8Of(g_System.BuiltinKey).text);
    return 0;
  }
  LogLine(LOG_CRLF, flags ? "Setting Driver to UnLoad" : "Setting Driver to Load");
  WriteDword(key, u"Flags", flags);
  RegCloseKey(key);
  ActivateDeviceEx(g_System.BuiltinKey, nullptr, 0, nullptr);
  return 1;
}

// Unloads the driver, saves everything, and loads it again when it is enabled. The status
// reader is stopped first and always started again: it finds the driver under its new port, or
// shows that none runs.
void ReRegisterDriver() {
  LogPrintf(LOG_VERBOSE, "%u:%u, %u:%u, %u:%u, %u:%u\r\n", static_cast<unsigned>(g_System.OwnIndex),
            static_cast<unsigned>(g_App.LoadedOwnIndex), static_cast<unsigned>(g_System.GpsComPort),
            static_cast<unsigned>(g_App.LoadedGpsComPort), static_cast<unsigned>(g_App.DriverEnabled),
            static_cast<unsigned>(g_App.LoadedDriverEnabled), static_cast<unsigned>(g_App.GidEnabled),
            static_cast<unsigned>(g_App.LoadedGidEnabled));
  LogLine(LOG_CRLF, "Reloading Driver");
  bool reading = StatusReaderRunning();
  if (reading) StopStatusReader("Sync Thread Forced Closed");
  Activate(DEVFLAGS_UNLOAD | DEVFLAGS_NOLOAD);
  SaveSettings(0);
  if (g_App.DriverEnabled) Activate(0);
  AppLoadAllSettings();
  if (reading) StartStatusReader();
}

}  // namespace

int SendDriverCommand(const char* command) {
  const WCHAR* port = g_System.OwnPortName;  // named by the settings' last load
  HANDLE h = CreateFileW(port, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LogPrintf(LOG_CRLF, "No driver on %s for %s", Utf8Of(port).text, command);
    return 0;
  }
  DWORD written = 0;
  DWORD size = 0;
  while (command[size]) ++size;
  BOOL ok = WriteFile(h, command, size + 1, &written, nullptr);  // the driver answers a command with its own count
  CloseHandle(h);
  return ok ? 1 : 0;
}

int ApplySettings(DWORD kind) {
  LogLine(LOG_CRLF, "Queing Reload of values");
  if (kind == APPLY_ALL) {
    if (g_System.OwnIndex != g_App.LoadedOwnIndex || g_System.GpsComPort != g_App.LoadedGpsComPort ||
        g_App.DriverEnabled != g_App.LoadedDriverEnabled || g_App.GidEnabled != g_App.LoadedGidEnabled) {
      ReRegisterDriver();
      return 1;
    }
    SaveSettings(0);
    AppLoadAllSettings();
  } else if (kind == APPLY_PROFILE || kind == APPLY_CALIB) {
    SaveSettings(g_System.CurrentProfile);
  }
  return SendDriverCommand(kind == APPLY_CALIB ? DRIVER_COMMAND_CALIB : DRIVER_COMMAND_RELOAD);
}
