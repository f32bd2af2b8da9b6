// The settings records of the driver and of the settings application, and the procedures that
// load and save them in the registry.
#pragma once
#include <cstddef>
#include "platform/types.h"

#define MAIN_KEY u"Software\\Quorvale\\FerroxDriver"
#define SENSOR_KEY u"Software\\Quorvale\\Gyrolet"
#define CELL_KEY u"Software\\Quorvale\\CellTower"
#define DEFAULT_BUILTIN_KEY u"Drivers\\BuiltIn\\FrxDriver"
#define GID_KEY u"System\\CurrentControlSet\\GPS Intermediate Driver"
#define GID_DRIVERS_KEY GID_KEY u"\\Drivers"
#define GID_MUX_KEY GID_KEY u"\\Multiplexer"
#define GID_ACTIVE_KEY GID_KEY u"\\Multiplexer\\ActiveDevice"
#define HOME_PAGE_KEY u"Software\\Microsoft\\CHome\\Utility\\Page7"
#define HOME_KEY u"Software\\Microsoft\\CHome\\Utility"
#define SETUP_LINK u"\\Windows\\Start Menu\\Programs\\FerroxSetup.lnk"

// The commands a program writes to the driver's port (the terminating NUL may follow).
#define DRIVER_COMMAND_RELOAD "Reload"
#define DRIVER_COMMAND_CALIB "Calib:"

// One candidate input: 0 the platform GPS API, 1..9 the serial ports COM1: to COM9:.
struct SourcePort {
  DWORD handle;
  BYTE flags;
  BYTE order;
  BYTE reserved[2];
};
static_assert(sizeof(SourcePort) == 8);
static_assert(offsetof(SourcePort, flags) == 4);
static_assert(offsetof(SourcePort, order) == 5);

constexpr int kSourcePorts = 10;
constexpr DWORD kPortConfigSize = kSourcePorts * sizeof(SourcePort);
static_assert(kPortConfigSize == 80);

enum : BYTE {
  PORT_ENABLED = 0x01,   // the scan may test this source
  PORT_OWN = 0x02,       // the driver's own port, never a source
  PORT_FIX = 0x04,       // the profile's speed, course and lag corrections apply
  PORT_FOUND = 0x08,     // found usable by a scan (enabled bit cleared meanwhile)
  PORT_USER = 0x10,      // the table was edited by the user
};
constexpr BYTE kOwnPortOrder = 99;

struct ProfileSettings {
  double DeltaDistance;  // m
  double DeltaSpeed;     // km/h
  double MinSpeed;       // km/h
  DWORD DeltaTime;       // ms
  DWORD LagAdvance;      // ms
  DWORD EnableDop;
  DWORD EnableCourse;
  DWORD EnableSpeed;
  DWORD EnableCompass;
  LONG MagVal;
  LONG MagLand;
  DWORD HonestStill;  // 1: a standstill judged against the receiver's own scatter (off by default)
  DWORD AutoLag;      // 1: advance by the receiver's measured latency, prediction bounded (off by default)
  DWORD FallbackAsNoFix;  // 1: no fix (V, quality 0) in place of a carried-forward position (off by default)
  DWORD Smooth;           // 1: moving fixes smoothed along the receiver's own velocity (off by default)
};

struct SystemSettings {
  DWORD EnableLogs;
  DWORD EnableTrack;
  DWORD EnableScan;
  DWORD GpsComPort;
  DWORD EnableSmooth;
  DWORD EnableQuiet;
  DWORD SleepTime;
  DWORD EnableAltSep;
  DWORD CurrentProfile;
  DWORD ComTimeOut;
  DWORD KeepAlive;
  DWORD GpsidSleep;
  DWORD GpsidPoll;
  DWORD GpsidInputBuffer;
  DWORD GpsidOutputBuffer;
  DWORD PollRate;
  DWORD NumAvg;
  DWORD CompassAngle;
  DWORD CompassSpeed;
  DWORD AutoEnable;
  DWORD AutoAngle;
  DWORD OwnIndex;
  DWORD StrictNmea;  // 1: only $GP sentences, each read by itself (see nmea_source.h)
  WCHAR BuiltinKey[256];
  WCHAR MuxPortName[16];
  WCHAR OwnPortName[8];
  WCHAR GidDriverKey[256];
  SourcePort Ports[kSourcePorts];
};

// What the settings application keeps beside the shared records.
struct AppSettings {
  WCHAR Profile1Name[32];
  WCHAR Profile2Name[32];
  DWORD DriverEnabled;  // the builtin key's Flags is 0
  DWORD GidEnabled;     // IsEnabled of the GPS Intermediate Driver
  DWORD EnableCells;
  DWORD MaxCells;
  DWORD CurMcc;
  // As loaded, so that saving can tell what changed.
  DWORD LoadedOwnIndex;
  DWORD LoadedDriverEnabled;
  DWORD LoadedGpsComPort;
  DWORD LoadedGidEnabled;
};

extern SystemSettings g_System;
extern ProfileSettings g_Profile;
extern AppSettings g_App;

// The profile preset of a full load.
void PresetProfileSettings();
// Driver defaults for every record (a fresh process starts with them).
void ResetDriverSettings();
// Application defaults (before the application's first load).
void ResetAppSettings();

DWORD ReadLogSetting();
void LoadAllSettings(LPCWSTR context);
DWORD LoadSoftwareSettings();
void LoadProfile(DWORD n);
void SetProfileDefaults(DWORD n);
DWORD ReadScanSetting();
void SaveScanSetting(DWORD value);
void SaveCurrentProfile(DWORD n);
void PublishHomeStatus(const char* status);
// Normalises the loaded port table for the own index.
void NormalisePortTable(SourcePort* ports, DWORD ownIndex);
// The receiver's port as the driver takes it at load, from the stored `GpsComPort` (0 without a
// main key) and the multiplexer's active device `activeIndex` (when it has one): the active
// device when it is not this driver, the stored port when it is, and never this driver's own.
DWORD DriverGpsComPort(DWORD stored, DWORD ownIndex, DWORD activeIndex);
// Enables the default sources (platform API, order 1; COM`gpsComPort`:, order 2).
void EnableDefaultPorts(SourcePort* ports, DWORD gpsComPort);

// The settings application's procedures.
DWORD AppLoadSoftwareSettings();
void AppLoadAllSettings();
// The cell service's settings of the application (EnableCells, MaxCells, CurMcc).
void AppLoadCellSettings();
void SaveSettings(DWORD n);
// First run: writes the defaults of both profiles and the global part when no main key existed.
// Returns 1 when it ran.
int AppFirstRunInit();

// Tenths encoding of the fractional profile settings.
DWORD ToTenths(double value);
double FromTenths(DWORD stored);
LONG NormaliseMagnetic(LONG value);
// The profile key path "...FerroxDriver\Profile<n>" into a buffer of 64 units.
void ProfileKeyPath(DWORD n, WCHAR* out);
