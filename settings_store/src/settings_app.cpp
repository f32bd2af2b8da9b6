// The settings application's side of the settings store: its full load, saving and the first
// run that writes the defaults.
#include <iterator>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "support/reg_helpers.h"

static void CopyMultiplexerName(HKEY key) {
  g_System.MuxPortName[0] = 0;
  WCHAR name[16] = {};
  if (ReadValue(key, u"DriverInterface", name, 30) == ERROR_SUCCESS && name[0]) WideCopy(g_System.MuxPortName, std::size(g_System.MuxPortName), name);
  else WideCopy(g_System.MuxPortName, std::size(g_System.MuxPortName), u"COM4:");
}

void AppLoadCellSettings() {
  HKEY key;
  if (OpenKey(CELL_KEY, &key) != ERROR_SUCCESS) return;
  ReadDword(key, u"EnableCells", &g_App.EnableCells);
  ReadDword(key, u"MaxCells", &g_App.MaxCells);
  DWORD mcc = 0;
  if (ReadDword(key, u"CurMcc", &mcc) == ERROR_SUCCESS && mcc != 0) g_App.CurMcc = mcc;  // 0 keeps the one in memory
  RegCloseKey(key);
}

void AppLoadAllSettings() {
  HKEY key;
  PresetProfileSettings();
  g_System.EnableAltSep = 1;
  g_System.OwnIndex = 1;
  LogLine(LOG_CRLF, "Reading Registry Settings");
  if (!g_System.BuiltinKey[0]) {
    LogLine(LOG_CRLF, "Default Driver Key");
    WideCopy(g_System.BuiltinKey, std::size(g_System.BuiltinKey), DEFAULT_BUILTIN_KEY);
  }
  g_System.GpsComPort = AppLoadSoftwareSettings();
  if (OpenKey(g_System.BuiltinKey, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"Index", &g_System.OwnIndex);
    DWORD flags;
    if (ReadDword(key, u"Flags", &flags) == ERROR_SUCCESS) g_App.DriverEnabled = flags == 0;
    RegCloseKey(key);
  }
  // The receiver's port as the driver will take it at its next load: a default port table made
  // from another number would turn the receiver off when the program saves it.
  DWORD active = 0;
  if (OpenKey(GID_ACTIVE_KEY, &key) == ERROR_SUCCESS) {
    if (ReadDword(key, u"Index", &active) == ERROR_SUCCESS)
      g_System.GpsComPort = DriverGpsComPort(g_System.GpsComPort, g_System.OwnIndex, active);
    RegCloseKey(key);
  }
  g_System.GidDriverKey[0] = 0;
  if (OpenKey(GID_DRIVERS_KEY, &key) == ERROR_SUCCESS) {
    WCHAR current[128 + 1] = {};
    if (ReadValue(key, u"CurrentDriver", current, 255) == ERROR_SUCCESS && current[0]) {
      size_t n = WideCopy(g_System.GidDriverKey, std::size(g_System.GidDriverKey), GID_DRIVERS_KEY u"\\");
      WideCopy(g_System.GidDriverKey + n, std::size(g_System.GidDriverKey) - n, current);
    }
    RegCloseKey(key);
  }
  if (OpenKey(GID_KEY, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"IsEnabled", &g_App.GidEnabled);
    RegCloseKey(key);
  }
  AppLoadCellSettings();
  g_App.LoadedOwnIndex = g_System.OwnIndex;
  g_App.LoadedDriverEnabled = g_App.DriverEnabled;
  g_App.LoadedGpsComPort = g_System.GpsComPort;
  g_App.LoadedGidEnabled = g_App.GidEnabled;
  WCHAR own[] = u"COM1:";
  own[3] = static_cast<WCHAR>(u'0' + g_System.OwnIndex);
  WideCopy(g_System.OwnPortName, std::size(g_System.OwnPortName), own);
  HKEY main;
  bool userTable = false;
  if (OpenKey(MAIN_KEY, &main) == ERROR_SUCCESS) {
    ReadValue(main, u"PortConfig", g_System.Ports, kPortConfigSize);
    RegCloseKey(main);
    NormalisePortTable(g_System.Ports, g_System.OwnIndex);
    for (const SourcePort& p : g_System.Ports) userTable = userTable || (p.flags & (PORT_ENABLED | PORT_USER));
  }
  if (!userTable) EnableDefaultPorts(g_System.Ports, g_System.GpsComPort);
}

static void WriteProfile(DWORD n) {
  HKEY key;
  WCHAR path[64];
  LogLine(LOG_CRLF, "Saving Profile Registry");
  ProfileKeyPath(n, path);
  if (CreateKey(path, &key) != ERROR_SUCCESS) return;
  WriteDword(key, u"DeltaDistance", ToTenths(g_Profile.DeltaDistance));
  WriteDword(key, u"MinSpeed", ToTenths(g_Profile.MinSpeed));
  WriteDword(key, u"DeltaSpeed", ToTenths(g_Profile.DeltaSpeed));
  WriteDword(key, u"DeltaTime", g_Profile.DeltaTime);
  WriteDword(key, u"LagAdvance", g_Profile.LagAdvance);
  WriteDword(key, u"EnableDop", g_Profile.EnableDop);
  WriteDword(key, u"EnableCourse", g_Profile.EnableCourse);
  WriteDword(key, u"EnableSpeed", g_Profile.EnableSpeed);
  WriteDword(key, u"EnableCompass", g_Profile.EnableCompass);
  WriteDword(key, u"AutoLag", g_Profile.AutoLag);
  WriteDword(key, u"HonestStill", g_Profile.HonestStill);
  WriteDword(key, u"FallbackAsNoFix", g_Profile.FallbackAsNoFix);
  WriteDword(key, u"Smooth", g_Profile.Smooth);
  g_Profile.MagVal = NormaliseMagnetic(g_Profile.MagVal);
  WriteDword(key, u"MagVal", static_cast<DWORD>(g_Profile.MagVal));
  g_Profile.MagLand = NormaliseMagnetic(g_Profile.MagLand);
  WriteDword(key, u"MagLand", static_cast<DWORD>(g_Profile.MagLand));
  RegCloseKey(key);
}

static void WriteMainValues(HKEY key) {
  DWORD least = g_System.EnableSmooth ? 400 : 100;
  if (g_System.SleepTime < least) g_System.SleepTime = least;
  WriteDword(key, u"EnableSmooth", g_System.EnableSmooth);
  WriteDword(key, u"EnableQuiet", g_System.EnableQuiet);
  WriteDword(key, u"EnableLogs", g_System.EnableLogs);
  WriteDword(key, u"EnableTrack", g_System.EnableTrack);
  WriteDword(key, u"EnableScan", g_System.EnableScan);
  WriteDword(key, u"SleepTime", g_System.SleepTime);
  WriteDword(key, u"ComTimeOut", g_System.ComTimeOut);
  WriteDword(key, u"KeepAlive", g_System.KeepAlive);
  WriteDword(key, u"GpsidSleep", g_System.GpsidSleep);
  WriteDword(key, u"GpsidInputBuffer", g_System.GpsidInputBuffer);
  WriteDword(key, u"GpsidOutputBuffer", g_System.GpsidOutputBuffer);
  WriteDword(key, u"GpsidPoll", g_System.GpsidPoll);
  WriteDword(key, u"EnableAltSep", g_System.EnableAltSep);
  if (g_System.GpsComPort != g_App.LoadedGpsComPort) WriteDword(key, u"GpsComPort", g_System.GpsComPort);
  WriteValue(key, u"PortConfig", REG_BINARY, g_System.Ports, kPortConfigSize);
}

static void WriteSystemKeys() {
  HKEY key;
  if (CreateKey(SENSOR_KEY, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"PollRate", g_System.PollRate);
    WriteDword(key, u"NumAvg", g_System.NumAvg);
    WriteDword(key, u"CompassAngle", g_System.CompassAngle);
    WriteDword(key, u"CompassSpeed", g_System.CompassSpeed);
    WriteDword(key, u"AutoEnable", g_System.AutoEnable);
    WriteDword(key, u"AutoAngle", g_System.AutoAngle);
    RegCloseKey(key);
  }
  if ((g_System.OwnIndex != g_App.LoadedOwnIndex || g_App.DriverEnabled != g_App.LoadedDriverEnabled) &&
      OpenKey(g_System.BuiltinKey, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"Index", g_System.OwnIndex);
    WriteDword(key, u"Flags", g_App.DriverEnabled ? 0 : 5);
    RegCloseKey(key);
  }
  if (g_System.GidDriverKey[0] && OpenKey(g_System.GidDriverKey, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"PollInterval", g_System.SleepTime / 10);
    RegCloseKey(key);
  }
  if (g_System.GpsComPort != g_App.LoadedGpsComPort) {
    if (OpenKey(GID_MUX_KEY, &key) == ERROR_SUCCESS) {
      CopyMultiplexerName(key);
      RegCloseKey(key);
    } else {
      WideCopy(g_System.MuxPortName, std::size(g_System.MuxPortName), u"COM4:");
    }
    if (OpenKey(GID_ACTIVE_KEY, &key) == ERROR_SUCCESS) {
      WriteDword(key, u"Index", g_System.GpsComPort);
      RegCloseKey(key);
    }
    if (g_System.GpsComPort <= 9) g_System.MuxPortName[3] = static_cast<WCHAR>(u'0' + g_System.GpsComPort);
    if (OpenKey(GID_MUX_KEY, &key) == ERROR_SUCCESS) {
      WriteValue(key, u"DriverInterface", REG_SZ, g_System.MuxPortName, 12);
      RegCloseKey(key);
    }
  }
  if (g_App.GidEnabled != g_App.LoadedGidEnabled && OpenKey(GID_KEY, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"IsEnabled", g_App.GidEnabled);
    RegCloseKey(key);
  }
}

void SaveSettings(DWORD n) {
  if (n > 2) return;
  HKEY key;
  const WCHAR* label = n == 0 ? u"Main" : (n == 1 ? g_App.Profile1Name : g_App.Profile2Name);
  LogPrintf(0, "Saving %s Registry Settings\r\n", Utf8Of(label).text);
  if (OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    if (n != 2) WriteString(key, u"Profile1Name", g_App.Profile1Name);
    if (n != 1) WriteString(key, u"Profile2Name", g_App.Profile2Name);
    if (n != 0) {
      g_System.CurrentProfile = n;
      WriteDword(key, u"CurrentProfile", n);
    } else {
      WriteMainValues(key);
    }
    RegCloseKey(key);
  }
  if (n == 0) {
    WriteSystemKeys();
    n = g_System.CurrentProfile;
  }
  WriteProfile(n);
}

int AppFirstRunInit() {
  if (g_System.CurrentProfile != 0) return 0;
  LogLine(LOG_CRLF, "Default for all Profiles");
  g_Profile.MagVal = 0;
  g_Profile.MagLand = 0;
  SetProfileDefaults(2);
  SaveSettings(2);
  SetProfileDefaults(1);
  SaveSettings(1);
  SetProfileDefaults(0);
  SaveSettings(0);
  return 1;
}
