// The extras page: altitude correction, automatic profile choice and the cell service.
#include <cstring>
#include <iterator>
#include "cell_control.h"
#include "field_text.h"
#include "platform/platform.h"
#include "pages.h"
#include "settings_store/settings.h"
#include "support/cell_flags.h"
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

const PageControl kControls[] = {
    {0, CONTROL_HEADING, 0, "Altitude Table", nullptr, nullptr},
    {1031, CONTROL_CHECK, 0, "Altitude Fix", nullptr, nullptr},
    {1032, CONTROL_CHECK, 0, "Prefer GPS", nullptr, nullptr},
    {1052, CONTROL_BUTTON, 0, "Kill Feature Remove Table", nullptr, nullptr},
    {0, CONTROL_HEADING, 0, "Auto Profile Selection", nullptr, nullptr},
    {1065, CONTROL_EDIT, 2, "Gsensor Angle", "degrees, 0 to 90", nullptr},
    {1098, CONTROL_CHECK, 0, "Enable Portrait", nullptr, nullptr},
    {1099, CONTROL_CHECK, 0, "Enable Landscape", nullptr, nullptr},
    {0, CONTROL_HEADING, 0, "Cell Tower Location", nullptr, nullptr},
    {1097, CONTROL_CHECK, 0, "Service is Running Now", nullptr, nullptr},
    {1054, CONTROL_CHECK, 0, "Enable Cell Service", nullptr, nullptr},
    {1056, CONTROL_CHECK, 0, "Enable Service, Only with GPS", nullptr, nullptr},
    {1057, CONTROL_CHECK, 0, "Enable Internet Cell Data", nullptr, nullptr},
    {1059, CONTROL_EDIT, 6, "Entries To Save", "towers, 0 to 100000", nullptr},
    {1066, CONTROL_EDIT, 3, "Default MCC", "0 to 999", nullptr},
    {1060, CONTROL_BUTTON, 0, "ReStart", nullptr, nullptr},
    {1064, CONTROL_BUTTON, 0, "Start", nullptr, nullptr},
    {1062, CONTROL_BUTTON, 0, "Export", nullptr, nullptr},
    {1067, CONTROL_BUTTON, 0, "Export With Imported Cells", nullptr, nullptr},
    {1063, CONTROL_BUTTON, 0, "Update", nullptr, nullptr},
    {1061, CONTROL_BUTTON, 0, "Kill Feature Remove Service", nullptr, nullptr},
};

}  // namespace

const PageLayout kExtrasPage = {"Extras", static_cast<int>(std::size(kControls)), kControls, 240, 560};

void ShowCellStatus(PageState* s, DWORD status) {
  SetControlCheck(kExtrasPage, s, 1097, status != 0);
  SetControlText(kExtrasPage, s, 1064, "%s", status ? "Stop" : "Start");
}

void FillExtrasPage(PageState* s, DWORD status) {
  const PageLayout& p = kExtrasPage;
  AppLoadCellSettings();
  SetControlCheck(p, s, 1031, g_System.EnableAltSep >= 1);
  SetControlCheck(p, s, 1032, g_System.EnableAltSep == 2);
  SetControlText(p, s, 1065, "%u", static_cast<unsigned>(g_System.AutoAngle));
  SetControlCheck(p, s, 1098, (g_System.AutoEnable & 1) != 0);
  SetControlCheck(p, s, 1099, (g_System.AutoEnable & 2) != 0);
  SetControlCheck(p, s, 1054, (g_App.EnableCells & CELLS_ENABLED) != 0);
  SetControlCheck(p, s, 1056, (g_App.EnableCells & CELLS_WITH_GPS_ONLY) != 0);
  SetControlCheck(p, s, 1057, (g_App.EnableCells & CELLS_INTERNET) != 0);
  SetControlText(p, s, 1059, "%u", static_cast<unsigned>(g_App.MaxCells));
  SetControlText(p, s, 1066, "%u", static_cast<unsigned>(g_App.CurMcc));
  for (WORD id : {static_cast<WORD>(1052), static_cast<WORD>(1060), static_cast<WORD>(1062), static_cast<WORD>(1067),
                  static_cast<WORD>(1063), static_cast<WORD>(1061)})
    SetControlText(p, s, id, "%s", p.controls[ControlIndex(p, id)].label);
  ShowCellStatus(s, status);
}

int SaveExtrasPage(PageState* s) {
  if (!SaveExtrasSettings(s)) return 0;
  ApplyCellServiceSetting();
  return 1;
}

void ApplyCellServiceSetting() {
  if (g_App.EnableCells & CELLS_ENABLED) CellServiceRefresh();
  else CellServiceStop();
}

int SaveExtrasSettings(PageState* s) {
  const PageLayout& p = kExtrasPage;
  const SystemSettings keptSystem = g_System;
  const AppSettings keptApp = g_App;
  s->message[0] = 0;
  memset(s->invalid, 0, sizeof s->invalid);
  g_System.EnableAltSep = ControlChecked(p, *s, 1031) ? 1 + (ControlChecked(p, *s, 1032) ? 1 : 0) : 0;
  ReadUnsignedField(p, s, 1065, 0, 90, &g_System.AutoAngle);
  g_System.AutoEnable = (ControlChecked(p, *s, 1098) ? 1 : 0) + (ControlChecked(p, *s, 1099) ? 2 : 0);
  g_App.EnableCells = ControlChecked(p, *s, 1054)
                          ? CELLS_ENABLED | (ControlChecked(p, *s, 1056) ? CELLS_WITH_GPS_ONLY : 0) |
                                (ControlChecked(p, *s, 1057) ? CELLS_INTERNET : 0)
                          : 0;
  ReadUnsignedField(p, s, 1059, 0, 100000, &g_App.MaxCells);
  ReadUnsignedField(p, s, 1066, 0, 999, &g_App.CurMcc);
  if (PageHasInvalid(*s)) {
    g_System = keptSystem;
    g_App = keptApp;
    PageState typed = *s;
    FillExtrasPage(s, ControlChecked(p, typed, 1097));
    KeepTypedValues(typed, s);
    return 0;
  }
  HKEY key;
  if (CreateKey(CELL_KEY, &key) == ERROR_SUCCESS) {
    WriteDword(key, u"MaxCells", g_App.MaxCells);
    WriteDword(key, u"EnableCells", g_App.EnableCells);
    WriteDword(key, u"CurMcc", g_App.CurMcc);
    RegCloseKey(key);
  }
  SaveSettings(0);
  return 1;
}
