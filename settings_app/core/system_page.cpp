// The system page: driver timing, logs, the driver's own port and the GPS Intermediate Driver.
#include <cstring>
#include <iterator>
#include "apply_settings.h"
#include "cell_control.h"
#include "field_text.h"
#include "pages.h"
#include "settings_store/settings.h"

namespace {

const PageControl kControls[] = {
    {1004, CONTROL_CHECK, 0, "Log Files", nullptr, nullptr},
    {1005, CONTROL_CHECK, 0, "Expanded", nullptr, nullptr},
    {1000, CONTROL_CHECK, 0, "Track Log", nullptr, nullptr},
    {1012, CONTROL_CHECK, 0, "Raw Data", nullptr, nullptr},
    {1002, CONTROL_CHECK, 0, "Smooth", "+500ms", nullptr},
    {1010, CONTROL_CHECK, 0, "Quiet", "No Beep", nullptr},
    {0, CONTROL_HEADING, 0, "FerroxDriver", nullptr, nullptr},
    {1003, CONTROL_EDIT, 6, "Sleep Time", "ms, 100 to 60000", nullptr},
    {1014, CONTROL_EDIT, 6, "ComTimeOut", "ms, 0 to 60000", nullptr},
    {1015, CONTROL_EDIT, 7, "Keep Alive", "ms, 0 to 3600000", nullptr},
    {1008, CONTROL_EDIT, 1, "Com Port", "1 to 9", nullptr},
    {1009, CONTROL_CHECK, 0, "Enable", nullptr, nullptr},
    {0, CONTROL_HEADING, 0, "Internal Gps Device", nullptr, nullptr},
    {1016, CONTROL_EDIT, 6, "Sleep Time", "ms, 0 to 60000", nullptr},
    {1017, CONTROL_EDIT, 6, "Poll Rate", "ms, 0 to 60000", nullptr},
    {1018, CONTROL_EDIT, 5, "Input Buffer", "bytes, 0 to 65536", nullptr},
    {1019, CONTROL_EDIT, 5, "Output Buffer", "bytes, 0 to 65536", nullptr},
    {1006, CONTROL_EDIT, 1, "Com Port", "1 to 9", nullptr},
    {1007, CONTROL_CHECK, 0, "Enable", nullptr, nullptr},
};

// A three-valued setting as two boxes: the first means at least 1, the second 2.
void ShowPair(PageState* s, WORD first, WORD second, DWORD value) {
  SetControlCheck(kSystemPage, s, first, value >= 1);
  SetControlCheck(kSystemPage, s, second, value == 2);
}

DWORD ReadPair(const PageState& s, WORD first, WORD second) {
  if (!ControlChecked(kSystemPage, s, first)) return 0;
  return 1 + (ControlChecked(kSystemPage, s, second) ? 1 : 0);
}

}  // namespace

const PageLayout kSystemPage = {"System", static_cast<int>(std::size(kControls)), kControls, 240, 520};

void FillSystemPage(PageState* s) {
  const PageLayout& p = kSystemPage;
  ShowPair(s, 1004, 1005, g_System.EnableLogs);
  ShowPair(s, 1000, 1012, g_System.EnableTrack);
  SetControlCheck(p, s, 1002, g_System.EnableSmooth != 0);
  SetControlCheck(p, s, 1010, g_System.EnableQuiet != 0);
  SetControlText(p, s, 1003, "%u", static_cast<unsigned>(g_System.SleepTime));
  SetControlText(p, s, 1014, "%u", static_cast<unsigned>(g_System.ComTimeOut));
  SetControlText(p, s, 1015, "%u", static_cast<unsigned>(g_System.KeepAlive));
  SetControlText(p, s, 1008, "%u", static_cast<unsigned>(g_System.OwnIndex));
  SetControlCheck(p, s, 1009, g_App.DriverEnabled != 0);
  SetControlText(p, s, 1016, "%u", static_cast<unsigned>(g_System.GpsidSleep));
  SetControlText(p, s, 1017, "%u", static_cast<unsigned>(g_System.GpsidPoll));
  SetControlText(p, s, 1018, "%u", static_cast<unsigned>(g_System.GpsidInputBuffer));
  SetControlText(p, s, 1019, "%u", static_cast<unsigned>(g_System.GpsidOutputBuffer));
  SetControlText(p, s, 1006, "%u", static_cast<unsigned>(g_System.GpsComPort));
  SetControlCheck(p, s, 1007, g_App.GidEnabled != 0);
}

int SaveSystemPage(PageState* s) {
  const PageLayout& p = kSystemPage;
  const SystemSettings keptSystem = g_System;
  const AppSettings keptApp = g_App;
  s->message[0] = 0;
  memset(s->invalid, 0, sizeof s->invalid);
  g_System.EnableLogs = ReadPair(*s, 1004, 1005);
  g_System.EnableTrack = ReadPair(*s, 1000, 1012);
  g_System.EnableSmooth = ControlChecked(p, *s, 1002) ? 1 : 0;
  g_System.EnableQuiet = ControlChecked(p, *s, 1010) ? 1 : 0;
  ReadUnsignedField(p, s, 1003, 100, 60000, &g_System.SleepTime);
  ReadUnsignedField(p, s, 1014, 0, 60000, &g_System.ComTimeOut);
  ReadUnsignedField(p, s, 1015, 0, 3600000, &g_System.KeepAlive);
  ReadUnsignedField(p, s, 1008, 1, 9, &g_System.OwnIndex);
  g_App.DriverEnabled = ControlChecked(p, *s, 1009) ? 1 : 0;
  ReadUnsignedField(p, s, 1016, 0, 60000, &g_System.GpsidSleep);
  ReadUnsignedField(p, s, 1017, 0, 60000, &g_System.GpsidPoll);
  ReadUnsignedField(p, s, 1018, 0, 65536, &g_System.GpsidInputBuffer);
  ReadUnsignedField(p, s, 1019, 0, 65536, &g_System.GpsidOutputBuffer);
  ReadUnsignedField(p, s, 1006, 1, 9, &g_System.GpsComPort);
  g_App.GidEnabled = ControlChecked(p, *s, 1007) ? 1 : 0;
  if (PageHasInvalid(*s)) {  // nothing is taken: the records stay as they were
    g_System = keptSystem;
    g_App = keptApp;
    PageState typed = *s;
    FillSystemPage(s);
    KeepTypedValues(typed, s);
    return 0;
  }
  ApplySettings(APPLY_ALL);
  CellServiceStatus();  // asked as the page closes; the answer is not needed
  return 1;
}
