#include "port_report.h"
#include <cstdio>
#include <cstring>
#include <string>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"

namespace {

volatile LONG g_state[kSourcePorts];

#define STATUS_KEY MAIN_KEY u"\\Status"

// The state's line where `frxd --status` reads it: under the driver's key, one value per port.
void Publish(LPCWSTR name, const char* text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, nullptr, 0, 0, nullptr, &key, nullptr) != ERROR_SUCCESS) return;
  WCHAR wide[400];
  Utf8ToWide(text, wide, 400);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide),
                 static_cast<DWORD>((std::char_traits<char16_t>::length(wide) + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
}

}  // namespace

void ReportCurrentSource(LONG port) {
  char text[16];
  if (port == 0) snprintf(text, sizeof text, "platform API");
  else if (port > 0 && port < kSourcePorts) snprintf(text, sizeof text, "COM%d:", static_cast<int>(port));
  else snprintf(text, sizeof text, "none");
  Publish(u"Source", text);
}

void ClearPortReports() {
  for (volatile LONG& s : g_state) InterlockedExchange(&s, PORT_STATE_UNKNOWN);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, STATUS_KEY);
}

void ReportPortState(int n, PortState state, DWORD value) {
  if (n < 1 || n >= kSourcePorts) return;
  if (InterlockedExchange(&g_state[n], state) == state) return;
  WCHAR name[8];
  char text[8], device[256], line[400];
  snprintf(text, sizeof text, "COM%d:", n);
  Utf8ToWide(text, name, 8);
  if (!PlatformSerialDevice(name, device, sizeof device)) return;
  switch (state) {
    case PORT_STATE_MISSING: snprintf(line, sizeof line, "%s %s: no such device, waiting for it", text, device); break;
    case PORT_STATE_DENIED:
      snprintf(line, sizeof line, "%s %s: permission denied (add your user to the dialout group)", text, device);
      break;
    case PORT_STATE_FAILED:
      snprintf(line, sizeof line, "%s %s: %s", text, device, PlatformErrorText(value).c_str());
      break;
    case PORT_STATE_NMEA: snprintf(line, sizeof line, "%s NMEA at %u baud", text, value); break;
    case PORT_STATE_NO_FIX: snprintf(line, sizeof line, "%s no fix yet (%u satellites in view)", text, value); break;
    case PORT_STATE_FIX: snprintf(line, sizeof line, "%s fix (%u satellites in use)", text, value); break;
    case PORT_STATE_SILENT: snprintf(line, sizeof line, "%s %s: silent, no NMEA", text, device); break;
    default: return;
  }
  LogEvent(line);
  Publish(name, line + strlen(text) + 1);
}
