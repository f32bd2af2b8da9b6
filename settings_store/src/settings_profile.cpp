// Software settings, profiles and their defaults, shared by the driver and the settings
// application.
#include <iterator>
#include <cstring>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "support/reg_helpers.h"

SystemSettings g_System;
ProfileSettings g_Profile;
AppSettings g_App;

DWORD ToTenths(double value) {
  double t = value * 10.0;
  if (!(t > 0.0)) return 0;  // negative or NaN: the platform's conversion saturates at 0
  if (t >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<DWORD>(t);
}

double FromTenths(DWORD stored) { return stored * 0.1; }

namespace {

// The sensor thread's timing stays within these.
constexpr DWORD kMinPollRateMs = 10, kMaxPollRateMs = 10000, kMaxNumAvg = 100;

DWORD Clamp(DWORD v, DWORD low, DWORD high) { return v < low ? low : v > high ? high : v; }

// A profile switch beyond the profiles of old: absent means off, nothing is logged for it, and
// only a REG_DWORD of 1 turns it on.
DWORD ReadOptionalSwitch(HKEY key, const WCHAR* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && value == 1;
}

// The profile values read silently when absent (off).
void ReadOptionalSwitches(HKEY key) {
  g_Profile.HonestStill = ReadOptionalSwitch(key, u"HonestStill");
  g_Profile.AutoLag = ReadOptionalSwitch(key, u"AutoLag");
  g_Profile.FallbackAsNoFix = ReadOptionalSwitch(key, u"FallbackAsNoFix");
  g_Profile.Smooth = ReadOptionalSwitch(key, u"Smooth");
}

}  // namespace

LONG NormaliseMagnetic(LONG value) { return value > 180 ? value - 360 : value; }

void ProfileKeyPath(DWORD n, WCHAR* out) {
  size_t len = WideCopy(out, 64, MAIN_KEY u"\\Profile");
  out[len] = static_cast<WCHAR>(u'0' + n % 10);
  out[len + 1] = 0;
}

void PresetProfileSettings() {
  g_Profile.DeltaDistance = 3.0;
  g_Profile.DeltaSpeed = 10.0;
  g_Profile.MinSpeed = 1.0;
  g_Profile.DeltaTime = 3000;
  g_Profile.LagAdvance = 1000;
  g_Profile.EnableDop = 1;
  g_Profile.EnableCourse = 2;
  g_Profile.EnableSpeed = 2;
  g_Profile.EnableCompass = 1;
  g_Profile.MagVal = 0;
  g_Profile.MagLand = 0;
  g_Profile.HonestStill = 0;
  g_Profile.AutoLag = 0;
  g_Profile.Smooth = 0;
  g_Profile.FallbackAsNoFix = 0;
}

void ResetDriverSettings() {
  memset(&g_System, 0, sizeof g_System);
  g_System.GpsComPort = 4;
  g_System.SleepTime = 1000;
  g_System.EnableAltSep = 1;
  g_System.CurrentProfile = 1;
  g_System.ComTimeOut = 100;
  g_System.KeepAlive = 15000;
  g_System.GpsidSleep = 50;
  g_System.GpsidPoll = 100;
  g_System.GpsidInputBuffer = 1024;
  g_System.GpsidOutputBuffer = 1024;
  g_System.PollRate = 50;
  g_System.NumAvg = 5;
  g_System.CompassAngle = 30;
  g_System.CompassSpeed = 25;
  g_System.AutoEnable = 3;
  g_System.AutoAngle = 15;
  g_System.OwnIndex = 1;
  WideCopy(g_System.BuiltinKey, std::size(g_System.BuiltinKey), DEFAULT_BUILTIN_KEY);
  WideCopy(g_System.MuxPortName, std::size(g_System.MuxPortName), u"COM4:");
  WideCopy(g_System.OwnPortName, std::size(g_System.OwnPortName), u"COM1:");
  PresetProfileSettings();
}

void ResetAppSettings() {
  ResetDriverSettings();
  g_System.EnableSmooth = 1;
  g_System.AutoEnable = 1;
  g_System.CurrentProfile = 0;  // stays 0 when no main key exists: the first run follows
  memset(&g_App, 0, sizeof g_App);
  WideCopy(g_App.Profile1Name, std::size(g_App.Profile1Name), u"Driving");
  WideCopy(g_App.Profile2Name, std::size(g_App.Profile2Name), u"Walking");
  g_App.DriverEnabled = 1;
  g_App.GidEnabled = 1;
  g_App.EnableCells = 7;
  g_App.MaxCells = 500;
  g_App.CurMcc = 0;
}

namespace {
struct Init {
  Init() { ResetDriverSettings(); }
} g_init;

// A profile name as stored: missing, empty or too long (32 bytes and more) counts as missing.
void ReadProfileName(HKEY key, LPCWSTR value, WCHAR* name, LPCWSTR fallback) {
  WCHAR buffer[16 + 1] = {};
  if (ReadValue(key, value, buffer, 32) != ERROR_SUCCESS || buffer[0] == 0) {
    WideCopy(name, 32, fallback);
    return;
  }
  buffer[16] = 0;
  WideCopy(name, 32, buffer);
}
}  // namespace

static DWORD LoadSoftware(bool app) {
  HKEY key;
  if (OpenKey(MAIN_KEY, &key) != ERROR_SUCCESS) return 0;
  LogLine(LOG_CRLF, "Reading Software Registry");
  DWORD gpsComPort = 4;
  ReadDword(key, u"EnableLogs", &g_System.EnableLogs);
  ReadDword(key, u"EnableTrack", &g_System.EnableTrack);
  ReadDword(key, u"EnableScan", &g_System.EnableScan);
  ReadDword(key, u"GpsComPort", &gpsComPort);
  ReadDword(key, u"EnableSmooth", &g_System.EnableSmooth);
  ReadDword(key, u"EnableQuiet", &g_System.EnableQuiet);
  ReadDword(key, u"SleepTime", &g_System.SleepTime);
  DWORD least = g_System.EnableSmooth ? 400 : 200;
  if (g_System.SleepTime < least) g_System.SleepTime = least;
  ReadDword(key, u"EnableAltSep", &g_System.EnableAltSep);
  ReadDword(key, u"CurrentProfile", &g_System.CurrentProfile);
  ReadDword(key, u"ComTimeOut", &g_System.ComTimeOut);
  ReadDword(key, u"KeepAlive", &g_System.KeepAlive);
  // Beyond the receivers of old: absent means the default reading, and nothing is logged for it.
  DWORD strict = 0, size = sizeof strict, type = 0;
  if (RegQueryValueExW(key, u"StrictNmea", nullptr, &type, reinterpret_cast<BYTE*>(&strict), &size) == ERROR_SUCCESS &&
      type == REG_DWORD)
    g_System.StrictNmea = strict != 0;
  ReadDword(key, u"GpsidSleep", &g_System.GpsidSleep);
  ReadDword(key, u"GpsidInputBuffer", &g_System.GpsidInputBuffer);
  ReadDword(key, u"GpsidOutputBuffer", &g_System.GpsidOutputBuffer);
  ReadDword(key, u"GpsidPoll", &g_System.GpsidPoll);
  if (app) {
    ReadProfileName(key, u"Profile1Name", g_App.Profile1Name, u"Driving");
    ReadProfileName(key, u"Profile2Name", g_App.Profile2Name, u"Walking");
  }
  RegCloseKey(key);
  if (CreateKey(SENSOR_KEY, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"PollRate", &g_System.PollRate);
    ReadDword(key, u"NumAvg", &g_System.NumAvg);
    ReadDword(key, u"CompassAngle", &g_System.CompassAngle);
    ReadDword(key, u"CompassSpeed", &g_System.CompassSpeed);
    ReadDword(key, u"AutoEnable", &g_System.AutoEnable);
    ReadDword(key, u"AutoAngle", &g_System.AutoAngle);
    RegCloseKey(key);
  }
  // A poll rate of 0 would sample without pause, and a huge average would overflow its timing.
  g_System.PollRate = Clamp(g_System.PollRate, kMinPollRateMs, kMaxPollRateMs);
  g_System.NumAvg = Clamp(g_System.NumAvg, 0, kMaxNumAvg);
  if (g_System.CurrentProfile != 1 && g_System.CurrentProfile != 2) g_System.CurrentProfile = 1;
  LoadProfile(g_System.CurrentProfile);
  return gpsComPort;
}

DWORD LoadSoftwareSettings() { return LoadSoftware(false); }
DWORD AppLoadSoftwareSettings() { return LoadSoftware(true); }

void LoadProfile(DWORD n) {
  if (n != 1 && n != 2) return;
  WCHAR path[64];
  ProfileKeyPath(n, path);
  LogPrintf(0, "Loading Profile: %d Registry Settings\r\n", n);
  HKEY key;
  if (OpenKey(path, &key) != ERROR_SUCCESS) {
    SetProfileDefaults(n);
    return;
  }
  LogLine(LOG_CRLF, "Loading Software Registry");
  DWORD v;
  if (ReadDword(key, u"DeltaDistance", &v) != ERROR_SUCCESS) {
    // A profile key without DeltaDistance counts as new; the switches a user sets by hand in it
    // (the README's way) still hold.
    SetProfileDefaults(n);
    ReadOptionalSwitches(key);
    RegCloseKey(key);
    return;
  }
  g_Profile.DeltaDistance = FromTenths(v);
  if (ReadDword(key, u"MinSpeed", &v) == ERROR_SUCCESS) g_Profile.MinSpeed = FromTenths(v);
  if (ReadDword(key, u"DeltaSpeed", &v) == ERROR_SUCCESS) g_Profile.DeltaSpeed = FromTenths(v);
  ReadDword(key, u"DeltaTime", &g_Profile.DeltaTime);
  ReadDword(key, u"LagAdvance", &g_Profile.LagAdvance);
  ReadDword(key, u"EnableDop", &g_Profile.EnableDop);
  ReadDword(key, u"EnableCourse", &g_Profile.EnableCourse);
  ReadDword(key, u"EnableSpeed", &g_Profile.EnableSpeed);
  if (ReadDword(key, u"MagVal", &v) == ERROR_SUCCESS) g_Profile.MagVal = static_cast<LONG>(v);
  if (ReadDword(key, u"MagLand", &v) == ERROR_SUCCESS) g_Profile.MagLand = static_cast<LONG>(v);
  ReadDword(key, u"EnableCompass", &g_Profile.EnableCompass);
  ReadOptionalSwitches(key);
  g_Profile.MagVal = NormaliseMagnetic(g_Profile.MagVal);
  g_Profile.MagLand = NormaliseMagnetic(g_Profile.MagLand);
  RegCloseKey(key);
}

void SetProfileDefaults(DWORD n) {
  LogPrintf(LOG_VERBOSE, "Setting Defaults for %d\r\n", n);
  if (n == 0) {
    g_System.EnableLogs = 0;
    g_System.EnableTrack = 0;
    g_System.EnableScan = 0;
    g_System.EnableSmooth = 0;
    g_System.SleepTime = 1000;
    g_System.CurrentProfile = 1;
    g_App.DriverEnabled = 1;
    g_App.GidEnabled = 1;
    return;
  }
  if (n != 1 && n != 2) return;
  bool driving = n == 1;
  g_Profile.DeltaDistance = driving ? 3.0 : 1.0;
  g_Profile.DeltaSpeed = 10.0;
  g_Profile.MinSpeed = driving ? 1.0 : 0.2;
  g_Profile.DeltaTime = 3000;
  g_Profile.LagAdvance = 1500;
  g_Profile.EnableDop = 1;
  g_Profile.EnableCourse = driving ? 2 : 1;
  g_Profile.EnableSpeed = driving ? 2 : 1;
  g_Profile.EnableCompass = driving ? 0 : 1;
  g_Profile.HonestStill = 0;
  g_Profile.AutoLag = 0;
  g_Profile.Smooth = 0;
  g_Profile.FallbackAsNoFix = 0;
}
