// The profile pages: the correction settings of profile 1 or 2 and its name.
#include <cstring>
#include <iterator>
#include "apply_settings.h"
#include "field_text.h"
#include "pages.h"
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"

namespace {

const PageControl kControls[] = {
    {1023, CONTROL_EDIT, kProfileNameLength, "Name", "up to 15 characters", nullptr},
    {1029, CONTROL_BUTTON, 0, "Set to Defaults", nullptr, nullptr},
    {0, CONTROL_HEADING, 0, "To Insert Speed & Course", nullptr, nullptr},
    {1021, CONTROL_EDIT, 5, "Distance Moved", "tenths of m, 0 to 10000", nullptr},
    {1022, CONTROL_EDIT, 6, "Zero Speed Time", "ms, 0 to 600000", nullptr},
    {1030, CONTROL_EDIT, 4, "Minimum Speed", "tenths of km/h, 0 to 2000", nullptr},
    {0, CONTROL_HEADING, 0, "To Calculate Lag Position", nullptr, nullptr},
    {1020, CONTROL_EDIT, 4, "Speed Threshold", "tenths of km/h, 0 to 3000", nullptr},
    {1001, CONTROL_EDIT, 5, "Lag Advance (ms)", "ms, 0 to 10000", nullptr},
    {1025, CONTROL_CHECK, 0, "Speed Fix", nullptr, nullptr},
    {1027, CONTROL_CHECK, 0, "Prefer GPS", nullptr, nullptr},
    {1026, CONTROL_CHECK, 0, "Course Fix", nullptr, nullptr},
    {1028, CONTROL_CHECK, 0, "Prefer GPS", nullptr, nullptr},
    {1024, CONTROL_CHECK, 0, "Dop Fix", nullptr, nullptr},
    {1032, CONTROL_CHECK, 0, "Compass", nullptr, nullptr},
    {0, CONTROL_HEADING, 0, "Beyond the Receiver", nullptr, nullptr},
    {1040, CONTROL_CHECK, 0, "Measured Lag (AutoLag)", nullptr, nullptr},
    {1041, CONTROL_CHECK, 0, "Standstill by Its Scatter (HonestStill)", nullptr, nullptr},
    {1042, CONTROL_CHECK, 0, "No Fix, Not an Old Position (FallbackAsNoFix)", nullptr, nullptr},
    {1043, CONTROL_CHECK, 0, "Smoothed Along the Receiver's Velocity (Smooth)", nullptr, nullptr},
};

WCHAR* NameOf(DWORD n) { return n == 2 ? g_App.Profile2Name : g_App.Profile1Name; }

void ShowFields(PageState* s) {
  const PageLayout& p = kProfilePage;
  ShowTenthsField(p, s, 1021, g_Profile.DeltaDistance);
  SetControlText(p, s, 1022, "%u", static_cast<unsigned>(g_Profile.DeltaTime));
  ShowTenthsField(p, s, 1030, g_Profile.MinSpeed);
  ShowTenthsField(p, s, 1020, g_Profile.DeltaSpeed);
  SetControlText(p, s, 1001, "%u", static_cast<unsigned>(g_Profile.LagAdvance));
  SetControlCheck(p, s, 1025, g_Profile.EnableSpeed >= 1);
  SetControlCheck(p, s, 1027, g_Profile.EnableSpeed == 2);
  SetControlCheck(p, s, 1026, g_Profile.EnableCourse >= 1);
  SetControlCheck(p, s, 1028, g_Profile.EnableCourse == 2);
  SetControlCheck(p, s, 1024, g_Profile.EnableDop != 0);
  SetControlCheck(p, s, 1032, g_Profile.EnableCompass != 0);
  SetControlCheck(p, s, 1040, g_Profile.AutoLag != 0);
  SetControlCheck(p, s, 1041, g_Profile.HonestStill != 0);
  SetControlCheck(p, s, 1042, g_Profile.FallbackAsNoFix != 0);
  SetControlCheck(p, s, 1043, g_Profile.Smooth != 0);
}

DWORD ReadPair(const PageState& s, WORD first, WORD second) {
  if (!ControlChecked(kProfilePage, s, first)) return 0;
  return 1 + (ControlChecked(kProfilePage, s, second) ? 1 : 0);
}

}  // namespace

const PageLayout kProfilePage = {"Profile", static_cast<int>(std::size(kControls)), kControls, 240, 560};

const char* ProfileName(DWORD n, char* out, int size) {
  std::string name = WideToUtf8(NameOf(n));
  snprintf(out, static_cast<size_t>(size), "%s", name.c_str());
  return out;
}

void FillProfilePage(DWORD n, PageState* s) {
  LoadProfile(n);
  char name[64];
  SetControlText(kProfilePage, s, 1023, "%s", ProfileName(n, name, sizeof name));
  ShowFields(s);
}

void ProfileDefaults(DWORD n, PageState* s) {
  SetProfileDefaults(n);
  ShowFields(s);
}

int SaveProfilePage(DWORD n, PageState* s) {
  const PageLayout& p = kProfilePage;
  const ProfileSettings kept = g_Profile;
  s->message[0] = 0;
  memset(s->invalid, 0, sizeof s->invalid);
  const char* typedName = ControlText(p, *s, 1023);
  WCHAR name[32] = {};
  size_t units = Utf8ToWide(typedName, name, std::size(name));
  if (units == 0 || units > static_cast<size_t>(kProfileNameLength))
    MarkInvalid(p, s, 1023, "a name of 1 to 15 characters is needed");
  ReadTenthsField(p, s, 1021, 0, 10000, &g_Profile.DeltaDistance);
  ReadUnsignedField(p, s, 1022, 0, 600000, &g_Profile.DeltaTime);
  ReadTenthsField(p, s, 1030, 0, 2000, &g_Profile.MinSpeed);
  ReadTenthsField(p, s, 1020, 0, 3000, &g_Profile.DeltaSpeed);
  ReadUnsignedField(p, s, 1001, 0, 10000, &g_Profile.LagAdvance);
  g_Profile.EnableSpeed = ReadPair(*s, 1025, 1027);
  g_Profile.EnableCourse = ReadPair(*s, 1026, 1028);
  g_Profile.EnableDop = ControlChecked(p, *s, 1024) ? 1 : 0;
  g_Profile.EnableCompass = ControlChecked(p, *s, 1032) ? 1 : 0;
  g_Profile.AutoLag = ControlChecked(p, *s, 1040) ? 1 : 0;
  g_Profile.HonestStill = ControlChecked(p, *s, 1041) ? 1 : 0;
  g_Profile.FallbackAsNoFix = ControlChecked(p, *s, 1042) ? 1 : 0;
  g_Profile.Smooth = ControlChecked(p, *s, 1043) ? 1 : 0;
  if (PageHasInvalid(*s)) {
    g_Profile = kept;
    PageState typed = *s;
    char shown[64];
    SetControlText(p, s, 1023, "%s", ProfileName(n, shown, sizeof shown));
    ShowFields(s);
    KeepTypedValues(typed, s);
    return 0;
  }
  WideCopy(NameOf(n), 32, name);
  g_System.CurrentProfile = n;  // saving a profile page makes it the current one
  ApplySettings(APPLY_PROFILE);
  return 1;
}

void UndoProfilePage() { LoadProfile(g_System.CurrentProfile); }
