// The ports page: which sources the driver may use, in which order, with which corrections, and
// when it scans for them.
#include <cctype>
#include <cstring>
#include <iterator>
#include "apply_settings.h"
#include "pages.h"
#include "settings_store/settings.h"

namespace {

constexpr WORD kEnableBase = 1066, kFixBase = 1076, kOrderBase = 1086;
const char* const kRowLabels[kSourcePorts] = {"MsAPI", "COM1", "COM2", "COM3", "COM4",
                                              "COM5",  "COM6", "COM7", "COM8", "COM9"};

#define PORT_ROW(i)                                                                   \
  {kEnableBase + (i), CONTROL_CHECK, 0, "Enable", nullptr, kRowLabels[i]},            \
      {kFixBase + (i), CONTROL_CHECK, 0, "Fix", nullptr, kRowLabels[i]}, {            \
    kOrderBase + (i), CONTROL_EDIT, 2, "Order", "0 to 9", kRowLabels[i]               \
  }

// The scan mode's radio buttons and the EnableScan value of each.
struct ScanRadio {
  WORD id;
  DWORD value;
};
const ScanRadio kScanRadios[] = {{1050, 0}, {1051, 1}, {1053, 2}, {1055, 3}};

const PageControl kControls[] = {
    {0, CONTROL_HEADING, 0, "Port", nullptr, nullptr},
    PORT_ROW(0), PORT_ROW(1), PORT_ROW(2), PORT_ROW(3), PORT_ROW(4),
    PORT_ROW(5), PORT_ROW(6), PORT_ROW(7), PORT_ROW(8), PORT_ROW(9),
    {0, CONTROL_HEADING, 0, "Port Scan Mode", nullptr, nullptr},
    {1050, CONTROL_RADIO, 0, "Scan On Power Only", nullptr, nullptr},
    {1051, CONTROL_RADIO, 0, "Scan On Battery Too", nullptr, nullptr},
    {1053, CONTROL_RADIO, 0, "Never Scan", nullptr, nullptr},
    {1055, CONTROL_RADIO, 0, "Scan Only Once", nullptr, nullptr},
};

}  // namespace

const PageLayout kPortsPage = {"Ports", static_cast<int>(std::size(kControls)), kControls, 240, 480};

void FillPortsPage(PageState* s) {
  const PageLayout& p = kPortsPage;
  DWORD scan = ReadScanSetting();
  for (int i = 0; i < kSourcePorts; ++i) {
    const SourcePort& port = g_System.Ports[i];
    SetControlCheck(p, s, static_cast<WORD>(kEnableBase + i), (port.flags & PORT_ENABLED) != 0);
    SetControlCheck(p, s, static_cast<WORD>(kFixBase + i), (port.flags & PORT_FIX) != 0);
    SetControlText(p, s, static_cast<WORD>(kOrderBase + i), "%u", static_cast<unsigned>(port.order));
  }
  for (const ScanRadio& r : kScanRadios) SetControlCheck(p, s, r.id, scan == r.value);
}

int SavePortsPage(PageState* s) {
  const PageLayout& p = kPortsPage;
  s->message[0] = 0;
  memset(s->invalid, 0, sizeof s->invalid);
  SourcePort ports[kSourcePorts];
  memcpy(ports, g_System.Ports, sizeof ports);
  for (int i = 0; i < kSourcePorts; ++i) {
    const WORD orderId = static_cast<WORD>(kOrderBase + i);
    const char* order = ControlText(p, *s, orderId);
    // One digit: the field's first character.
    if (isdigit(static_cast<unsigned char>(order[0]))) ports[i].order = static_cast<BYTE>(order[0] - '0');
    else MarkInvalid(p, s, orderId, "a digit from 0 to 9 is needed");
    BYTE flags = static_cast<BYTE>(ports[i].flags & ~(PORT_ENABLED | PORT_FIX));
    if (ControlChecked(p, *s, static_cast<WORD>(kEnableBase + i))) flags |= PORT_ENABLED;
    if (ControlChecked(p, *s, static_cast<WORD>(kFixBase + i))) flags |= PORT_FIX;
    ports[i].flags = static_cast<BYTE>(flags | PORT_USER);  // from now on the user's table
  }
  if (PageHasInvalid(*s)) {
    PageState typed = *s;
    FillPortsPage(s);
    KeepTypedValues(typed, s);
    return 0;
  }
  memcpy(g_System.Ports, ports, sizeof ports);
  if (ControlChecked(p, *s, 1053)) g_System.EnableScan = 2;
  else if (ControlChecked(p, *s, 1051)) g_System.EnableScan = 1;
  else if (ControlChecked(p, *s, 1055)) g_System.EnableScan = 3;
  else g_System.EnableScan = 0;
  ApplySettings(APPLY_ALL);
  return 1;
}
