// The compass page: sensor settings, the two offsets of the current profile, and the calibration.
#include <cstring>
#include <iterator>
#include "apply_settings.h"
#include "calibration.h"
#include "field_text.h"
#include "pages.h"
#include "settings_store/settings.h"
#include "status_reader.h"

namespace {

const PageControl kControls[] = {
    {1033, CONTROL_EDIT, 3, "Num Averages", "0 to 100", nullptr},
    {1034, CONTROL_EDIT, 2, "Landscape Angle", "degrees, 0 to 90", nullptr},
    {1035, CONTROL_EDIT, 5, "Poll Time", "ms, 10 to 10000", nullptr},
    {1096, CONTROL_EDIT, 4, "Compass Speed", "tenths of km/h, 0 to 3000", nullptr},
    {1036, CONTROL_RADIO, 0, "Portrait", nullptr, "Portrait"},
    {1039, CONTROL_EDIT, 4, "Offset", "degrees, -180 to 359", "Portrait"},
    {1040, CONTROL_BUTTON, 0, "Reset to Zero", nullptr, "Portrait"},
    {1037, CONTROL_RADIO, 0, "Landscape", nullptr, "Landscape"},
    {1038, CONTROL_EDIT, 4, "Offset", "degrees, -180 to 359", "Landscape"},
    {1041, CONTROL_BUTTON, 0, "Reset to Zero", nullptr, "Landscape"},
    {1042, CONTROL_BUTTON, 0, CALIBRATE_TEXT, nullptr, nullptr},
    {1043, CONTROL_BUTTON, 0, "Help?", nullptr, nullptr},
    {1044, CONTROL_TRISTATE, 0, "Arrived at Delta Speed", nullptr, nullptr},
    {1045, CONTROL_TRISTATE, 0, "Averaging Readings", nullptr, nullptr},
    {1046, CONTROL_TRISTATE, 0, "Calibration Saved", nullptr, nullptr},
    {1047, CONTROL_VALUE, 0, "Compass", nullptr, nullptr},
    {1048, CONTROL_VALUE, 0, "Heading", nullptr, nullptr},
    {1049, CONTROL_VALUE, 0, "Count", nullptr, nullptr},
};

LONG g_pageVal = 0, g_pageLand = 0;  // the offsets when the page opened

void ShowOffsets(PageState* s) {
  SetControlText(kCompassPage, s, 1039, "%d", static_cast<int>(g_Profile.MagVal));
  SetControlText(kCompassPage, s, 1038, "%d", static_cast<int>(g_Profile.MagLand));
}

void ShowOrientation(PageState* s) {
  double compass, course;
  BYTE orientation;
  PeekCalibrationReading(&compass, &course, &orientation);
  bool landscape = orientation == 1 || orientation == 2;
  SetControlCheck(kCompassPage, s, 1036, !landscape);
  SetControlCheck(kCompassPage, s, 1037, landscape);
}

void ShowProgress(PageState* s, const CalibrationView& v) {
  const PageLayout& p = kCompassPage;
  const ProgressRow& row = CalibrationProgress(v.state);
  for (int i = 0; i < 3; ++i) {
    const WORD id = static_cast<WORD>(1044 + i);
    SetControlCheck(p, s, id, row.check[i]);
    SetControlText(p, s, id, "%s", row.text[i]);
  }
  SetControlText(p, s, 1047, "%.1f", v.compass);
  SetControlText(p, s, 1048, "%.1f", v.course);
  SetControlText(p, s, 1049, "%d", v.count);
  SetControlText(p, s, 1042, "%s", v.running ? ABORT_TEXT : CALIBRATE_TEXT);
}

}  // namespace

const PageLayout kCompassPage = {"Compass", static_cast<int>(std::size(kControls)), kControls, 240, 520};

const char* const kCompassHelp[5] = {
    "To Calibrate Hardware Compass",
    "Each profile has its own calibration, Portrait and Landscape orientation also have unique values. Full "
    "calibration takes four seperate runs.",
    "Prepare to exceed, or be already moving above, Delta Speed for the current profile, and plan for about 10 "
    "seconds of nearly straight travel",
    "Press The Calibrate Button\n\nCompass and Heading will update, Count value displays the number of 'good' "
    "readings.\nContinue moving above delta speed until the Calibration complete check is shown (about 10 seconds)",
    "- You have about 10 seconds to acheive Delta Speed once the Calibrate Button is Pressed.\n- You may drop below "
    "delta speed for up to 5 seconds at a time, although these reading are not 'counted'.\n",
};

void FillCompassPage(PageState* s) {
  const PageLayout& p = kCompassPage;
  SetControlText(p, s, 1033, "%d", static_cast<int>(g_System.NumAvg));
  SetControlText(p, s, 1034, "%u", static_cast<unsigned>(g_System.CompassAngle));
  SetControlText(p, s, 1035, "%u", static_cast<unsigned>(g_System.PollRate));
  SetControlText(p, s, 1096, "%d", static_cast<int>(g_System.CompassSpeed));
  ShowOffsets(s);
  for (WORD id : {static_cast<WORD>(1040), static_cast<WORD>(1041), static_cast<WORD>(1043)})
    SetControlText(p, s, id, "%s", p.controls[ControlIndex(p, id)].label);
  ResetCalibrationView();
  CalibrationView opened = {CAL_PAGE_OPENED, -1.0, -1.0, -1, 0, 0, 0, 0, 0};
  ShowProgress(s, opened);
  SetControlText(p, s, 1047, "-1.0");
  SetControlText(p, s, 1048, "-1.0");
  SetControlText(p, s, 1049, "-1.0");
  ShowOrientation(s);
  g_pageVal = g_Profile.MagVal;
  g_pageLand = g_Profile.MagLand;
}

int SaveCompassPage(PageState* s) {
  const PageLayout& p = kCompassPage;
  const SystemSettings keptSystem = g_System;
  const ProfileSettings keptProfile = g_Profile;
  s->message[0] = 0;
  memset(s->invalid, 0, sizeof s->invalid);
  ReadSignedField(p, s, 1039, -180, 359, &g_Profile.MagVal);
  ReadSignedField(p, s, 1038, -180, 359, &g_Profile.MagLand);
  ReadUnsignedField(p, s, 1034, 0, 90, &g_System.CompassAngle);
  ReadUnsignedField(p, s, 1035, 10, 10000, &g_System.PollRate);
  ReadUnsignedField(p, s, 1033, 0, 100, &g_System.NumAvg);
  ReadUnsignedField(p, s, 1096, 0, 3000, &g_System.CompassSpeed);
  if (PageHasInvalid(*s)) {
    g_System = keptSystem;
    g_Profile = keptProfile;
    PageState typed = *s;
    ShowOffsets(s);
    SetControlText(p, s, 1033, "%d", static_cast<int>(g_System.NumAvg));
    SetControlText(p, s, 1034, "%u", static_cast<unsigned>(g_System.CompassAngle));
    SetControlText(p, s, 1035, "%u", static_cast<unsigned>(g_System.PollRate));
    SetControlText(p, s, 1096, "%d", static_cast<int>(g_System.CompassSpeed));
    KeepTypedValues(typed, s);
    return 0;
  }
  ApplySettings(APPLY_ALL);
  return 1;
}

void UndoCompassPage() {
  g_Profile.MagVal = g_pageVal;
  g_Profile.MagLand = g_pageLand;
  ApplySettings(APPLY_PROFILE);  // undoes the zeros a run may have saved
}

void ResetCompassOffset(WORD id, PageState* s) {
  if (id == 1040) g_Profile.MagVal = 0;
  else if (id == 1041) g_Profile.MagLand = 0;
  ShowOffsets(s);
}

void ToggleCalibration(PageState* s) {
  CalibrationView v;
  ReadCalibrationView(&v);
  if (v.running) AbortCalibration();
  else StartCalibration(g_Profile.MagVal, g_Profile.MagLand);
  RefreshCompassPage(s);
}

void RefreshCompassPage(PageState* s) {
  CalibrationView v;
  ReadCalibrationView(&v);
  if (TakeCalibrationResult()) {
    ReadCalibrationView(&v);
    ShowOffsets(s);
  }
  if (v.state != CAL_PAGE_OPENED) ShowProgress(s, v);
  ShowOrientation(s);
}
