// The driver's full settings load, with the GPS Intermediate Driver and multiplexer keys kept
// in step, and the small settings it writes itself.
#include <iterator>
#include <cstring>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "support/reg_helpers.h"

DWORD ReadLogSetting() {
  HKEY key;
  g_System.EnableLogs = 0;
  if (OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    if (ReadDword(key, u"EnableLogs", &g_System.EnableLogs) != ERROR_SUCCESS) g_System.EnableLogs = 0;
    RegCloseKey(key);
  }
  LogSetEnable(g_System.EnableLogs);
  return g_System.EnableLogs;
}

void NormalisePortTable(SourcePort* ports, DWORD ownIndex) {
  for (DWORD i = 0; i < kSourcePorts; ++i) {
    SourcePort& p = ports[i];
    if (i == ownIndex) {
      p.flags = static_cast<BYTE>((p.flags & ~PORT_ENABLED) | PORT_OWN);
      p.order = kOwnPortOrder;
    } else {
      p.flags &= static_cast<BYTE>(~PORT_OWN);
    }
    p.handle = 0;
    if (p.flags & PORT_FOUND) p.flags = static_cast<BYTE>((p.flags & ~PORT_FOUND) | PORT_ENABLED);
    if (p.flags & PORT_ENABLED) LogPrintf(LOG_CRLF, "Port %d Enabled", i);
  }
}

void EnableDefaultPorts(SourcePort* ports, DWORD gpsComPort) {
  LogPrintf(LOG_CRLF, "Default Port %d Is Enabled", gpsComPort);
  if (gpsComPort < kSourcePorts) {  // a stored GpsComPort out of range names no entry
    ports[gpsComPort].flags |= PORT_ENABLED | PORT_FIX;
    ports[gpsComPort].order = 2;
  }
  ports[0].flags |= PORT_ENABLED | PORT_FIX;
  ports[0].order = 1;
}

DWORD DriverGpsComPort(DWORD stored, DWORD ownIndex, DWORD activeIndex) {
  if (activeIndex != ownIndex) return activeIndex;  // the real GPS is read from the multiplexer's port
  if (stored != ownIndex) return stored;
  return ownIndex == 4 ? 3 : 4;
}

// Reads the stored table; returns 1 when the user's table (or an enabled entry) is kept.
static int LoadPortTable(SourcePort* ports, DWORD ownIndex) {
  HKEY key;
  if (OpenKey(MAIN_KEY, &key) != ERROR_SUCCESS) return 0;
  ReadValue(key, u"PortConfig", ports, kPortConfigSize);
  RegCloseKey(key);
  NormalisePortTable(ports, ownIndex);
  for (int i = 0; i < kSourcePorts; ++i)
    if (ports[i].flags & (PORT_ENABLED | PORT_USER)) return 1;
  return 0;
}

static void SetPortDigit(WCHAR* name, DWORD port) {
  if (port <= 9) name[3] = static_cast<WCHAR>(u'0' + port);
}

void LoadAllSettings(LPCWSTR context) {
  HKEY key;
  PresetProfileSettings();
  g_System.EnableAltSep = 1;
  g_System.OwnIndex = 1;
  LogLine(LOG_CRLF, "Reading Registry Settings");
  if (context) {
    LogPrintf(0, "Context: %s\r\n", Utf8Of(context).text);
    if (OpenKey(context, &key) == ERROR_SUCCESS) {
      memset(g_System.BuiltinKey, 0, sizeof g_System.BuiltinKey);
      if (ReadValue(key, u"Key", g_System.BuiltinKey, 255) != ERROR_SUCCESS) g_System.BuiltinKey[0] = 0;
      RegCloseKey(key);
    }
  }
  if (!g_System.BuiltinKey[0]) {
    LogLine(LOG_CRLF, "Default Driver Key");
    WideCopy(g_System.BuiltinKey, std::size(g_System.BuiltinKey), DEFAULT_BUILTIN_KEY);
  }
  if (context && OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    LogLine(LOG_CRLF, "Reading Active Driver Registry");
    WriteString(key, u"ActiveDriver", context);
    RegCloseKey(key);
  }
  DWORD gpsComPort = LoadSoftwareSettings();
  g_System.GpsComPort = gpsComPort;
  if (OpenKey(g_System.BuiltinKey, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"Index", &g_System.OwnIndex);
    RegCloseKey(key);
  }
  g_System.GidDriverKey[0] = 0;
  if (OpenKey(GID_DRIVERS_KEY, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"SleepOnNoData", g_System.GpsidSleep);
    WriteDword(key, u"InputBufferSize", g_System.GpsidInputBuffer);
    WriteDword(key, u"OutputBufferSize", g_System.GpsidOutputBuffer);
    WCHAR current[128 + 1] = {};
    if (ReadValue(key, u"CurrentDriver", current, 255) == ERROR_SUCCESS && current[0]) {
      size_t n = WideCopy(g_System.GidDriverKey, std::size(g_System.GidDriverKey), GID_DRIVERS_KEY u"\\");
      WideCopy(g_System.GidDriverKey + n, std::size(g_System.GidDriverKey) - n, current);
    }
    RegCloseKey(key);
  }
  // Without a readable CurrentDriver the per-driver writes are skipped.
  if (g_System.GidDriverKey[0] && OpenKey(g_System.GidDriverKey, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"PollInterval", g_System.GpsidPoll);
    WriteDword(key, u"SleepOnNoData", g_System.GpsidSleep);
    WriteDword(key, u"InputBufferSize", g_System.GpsidInputBuffer);
    WriteDword(key, u"OutputBufferSize", g_System.GpsidOutputBuffer);
    RegCloseKey(key);
  }
  if (OpenKey(GID_MUX_KEY, &key) == ERROR_SUCCESS) {
    memset(g_System.MuxPortName, 0, sizeof g_System.MuxPortName);
    if (ReadValue(key, u"DriverInterface", g_System.MuxPortName, 30) != ERROR_SUCCESS || !g_System.MuxPortName[0])
      WideCopy(g_System.MuxPortName, std::size(g_System.MuxPortName), u"COM4:");
    RegCloseKey(key);
  }
  if (OpenKey(GID_ACTIVE_KEY, &key) == ERROR_SUCCESS) {
    DWORD mux;
    if (ReadDword(key, u"Index", &mux) == ERROR_SUCCESS) {
      if (mux == g_System.OwnIndex && g_System.GpsComPort != g_System.OwnIndex)
        WriteDword(key, u"Index", g_System.GpsComPort);  // the multiplexer moves to our source
      g_System.GpsComPort = DriverGpsComPort(g_System.GpsComPort, g_System.OwnIndex, mux);
    }
    RegCloseKey(key);
  }
  if (OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"GpsComPort", g_System.GpsComPort);
    RegCloseKey(key);
  }
  if (OpenKey(GID_MUX_KEY, &key) == ERROR_SUCCESS) {
    SetPortDigit(g_System.MuxPortName, g_System.GpsComPort);
    WriteValue(key, u"DriverInterface", REG_SZ, g_System.MuxPortName, 12);
    RegCloseKey(key);
  }
  WCHAR own[] = u"COM1:";
  own[3] = static_cast<WCHAR>(u'0' + g_System.OwnIndex);
  WideCopy(g_System.OwnPortName, std::size(g_System.OwnPortName), own);
  if (!LoadPortTable(g_System.Ports, g_System.OwnIndex)) EnableDefaultPorts(g_System.Ports, g_System.GpsComPort);
}

DWORD ReadScanSetting() {
  HKEY key;
  if (CreateKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    LogLine(LOG_CRLF, "Reading Scan Flag Registry");
    ReadDword(key, u"EnableScan", &g_System.EnableScan);
    RegCloseKey(key);
  }
  return g_System.EnableScan;
}

void SaveScanSetting(DWORD value) {
  HKEY key;
  g_System.EnableScan = value;
  if (CreateKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    LogLine(LOG_CRLF, "Saving Scan Flag Registry");
    WriteDword(key, u"EnableScan", value);
    RegCloseKey(key);
  }
}

void SaveCurrentProfile(DWORD n) {
  HKEY key;
  LogPrintf(0, "Saving %d as Current Profile\r\n", n);
  if (n == 1 || n == 2) {
    g_System.CurrentProfile = n;
    if (OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
      WriteDword(key, u"CurrentProfile", n);
      RegCloseKey(key);
    }
  } else if (n == 0 && OpenKey(MAIN_KEY, &key) == ERROR_SUCCESS) {
    DWORD current = 0;
    ReadDword(key, u"CurrentProfile", &current);
    g_System.CurrentProfile = current == 1 ? 2 : 1;
    WriteDword(key, u"CurrentProfile", g_System.CurrentProfile);
    RegCloseKey(key);
  }
}
