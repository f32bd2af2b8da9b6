#include "port_report.h"
#include <cstdio>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"

namespace {

volatile LONG g_state[kSourcePorts];

}  // namespace

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
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
  LogPrintf(LOG_CRLF, "%s", line);
}

PortState ReportedPortState(int n) {
  if (n < 1 || n >= kSourcePorts) return PORT_STATE_UNKNOWN;
  return static_cast<PortState>(InterlockedCompareExchange(&g_state[n], 0, 0));
}
