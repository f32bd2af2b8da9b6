// The settings program's pages and command line, without a window: what each page stores, and
// what it refuses.
#include <iterator>
#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include "app_entry.h"
#include "cell_control.h"
#include "status_reader.h"
#include "field_text.h"
#include "pages.h"
#include "settings_store/settings.h"
#include "test_root.h"

namespace {

class SettingsPagesTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    StartSettingsLog();
    AppLoadAllSettings();
    AppFirstRunInit();
    AppLoadAllSettings();
    ClearPageState(&state_);
  }
  DWORD Stored(const char16_t* name, const char16_t* key = MAIN_KEY) {
    DWORD v = 0xDEAD;
    GetDword(key, name, &v);
    return v;
  }
  void Type(const PageLayout& page, WORD id, const char* text) { SetControlText(page, &state_, id, "%s", text); }
  PageState state_;
};

TEST_F(SettingsPagesTest, CommandLineOptionsAreFoundAnywhereAndOnlyRealProfilesEndTheProgram) {
  CommandOptions o;
  FindCommandOptions("  x Profile=2 ", &o);
  EXPECT_EQ(o.profile, 2);
  EXPECT_EQ(o.scan, -1);
  FindCommandOptions("Scan=9", &o);
  EXPECT_EQ(o.scan, 9);
  FindCommandOptions("   ", &o);
  EXPECT_EQ(o.profile, -1);
  EXPECT_EQ(o.scan, -1);
  FindCommandOptions("Profile=", &o);  // nothing after the option: nothing read past the end
  EXPECT_EQ(o.profile, -1);

  EXPECT_EQ(RunCommandOptions("Profile=2"), 1);
  EXPECT_EQ(Stored(u"CurrentProfile"), 2u);
  EXPECT_EQ(RunCommandOptions("Profile=0"), 1);  // switches to the other
  EXPECT_EQ(Stored(u"CurrentProfile"), 1u);
  EXPECT_EQ(RunCommandOptions("Profile=5"), 0);  // only logged: the window opens
  EXPECT_EQ(Stored(u"CurrentProfile"), 1u);
  EXPECT_EQ(RunCommandOptions("Scan=3"), 1);
  EXPECT_EQ(Stored(u"EnableScan"), 3u);
  for (const char* bad : {"Scan=x", "Scan=-1", "Scan=7"}) {  // stored 72 and 4294967293 once
    EXPECT_EQ(RunCommandOptions(bad), -1) << bad;
    EXPECT_EQ(Stored(u"EnableScan"), 3u) << bad;
  }
  EXPECT_EQ(RunCommandOptions("   "), 0);
}

TEST_F(SettingsPagesTest, NumbersAreDigitsWithinTheFieldsRange) {
  DWORD v = 7;
  EXPECT_FALSE(ParseUnsignedText("-5", 0, 60000, &v));
  EXPECT_FALSE(ParseUnsignedText("2.5", 0, 60000, &v));
  EXPECT_FALSE(ParseUnsignedText("", 0, 60000, &v));
  EXPECT_FALSE(ParseUnsignedText("99999999999", 0, 0xFFFFFFFFu, &v));
  EXPECT_FALSE(ParseUnsignedText("18446744073709551617", 0, 0xFFFFFFFFu, &v));  // 2^64 + 1: no wrapping to 1
  EXPECT_FALSE(ParseUnsignedText("60001", 0, 60000, &v));
  EXPECT_EQ(v, 7u);
  EXPECT_TRUE(ParseUnsignedText(" 500 ", 0, 60000, &v));
  EXPECT_EQ(v, 500u);
  LONG s = 0;
  EXPECT_TRUE(ParseSignedText("-9", -180, 359, &s));
  EXPECT_EQ(s, -9);
  EXPECT_FALSE(ParseSignedText("--9", -180, 359, &s));
}

TEST_F(SettingsPagesTest, TheSystemPageStoresWhatReadsAndKeepsTheRestWithAHint) {
  FillSystemPage(&state_);
  EXPECT_STREQ(ControlText(kSystemPage, state_, 1003), "1000");
  // "Log Files" clear with "Expanded" set stores 0.
  SetControlCheck(kSystemPage, &state_, 1004, 0);
  SetControlCheck(kSystemPage, &state_, 1005, 1);
  Type(kSystemPage, 1003, "500");
  ASSERT_EQ(SaveSystemPage(&state_), 1) << state_.message;
  EXPECT_EQ(Stored(u"SleepTime"), 500u);
  EXPECT_EQ(Stored(u"EnableLogs"), 0u);

  FillSystemPage(&state_);
  Type(kSystemPage, 1003, "-5");
  Type(kSystemPage, 1015, "20000");
  EXPECT_EQ(SaveSystemPage(&state_), 0);
  EXPECT_EQ(Stored(u"SleepTime"), 500u);
  EXPECT_EQ(Stored(u"KeepAlive"), 15000u);  // nothing of a refused page is stored
  EXPECT_EQ(g_System.KeepAlive, 15000u);
  EXPECT_STREQ(ControlText(kSystemPage, state_, 1003), "-5");       // what was typed, marked, stays
  EXPECT_TRUE(state_.invalid[ControlIndex(kSystemPage, 1003)]);
  EXPECT_STREQ(ControlText(kSystemPage, state_, 1015), "20000");    // what was typed stays
  EXPECT_NE(strstr(state_.message, "Sleep Time"), nullptr);
  // Two fields of one label are named by their group.
  FillSystemPage(&state_);
  Type(kSystemPage, 1008, "x");
  Type(kSystemPage, 1006, "0");
  EXPECT_EQ(SaveSystemPage(&state_), 0);
  EXPECT_NE(strstr(state_.message, "FerroxDriver Com Port"), nullptr) << state_.message;
  EXPECT_NE(strstr(state_.message, "Internal Gps Device Com Port"), nullptr) << state_.message;
}

TEST_F(SettingsPagesTest, ProfileDefaultsNamesAndUndo) {
  FillProfilePage(2, &state_);
  ProfileDefaults(2, &state_);
  EXPECT_STREQ(ControlText(kProfilePage, state_, 1021), "10");
  EXPECT_STREQ(ControlText(kProfilePage, state_, 1022), "3000");
  EXPECT_STREQ(ControlText(kProfilePage, state_, 1030), "2");
  EXPECT_STREQ(ControlText(kProfilePage, state_, 1020), "100");
  EXPECT_STREQ(ControlText(kProfilePage, state_, 1001), "1500");
  for (WORD id : {1025, 1026, 1024, 1032}) EXPECT_EQ(ControlChecked(kProfilePage, state_, id), 1) << id;
  for (WORD id : {1027, 1028}) EXPECT_EQ(ControlChecked(kProfilePage, state_, id), 0) << id;

  // A name the store could not read back is refused.
  Type(kProfilePage, 1023, "A name of twenty ch");
  EXPECT_EQ(SaveProfilePage(2, &state_), 0);
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile2Name"), u"Walking");
  Type(kProfilePage, 1023, "Hiking");
  Type(kProfilePage, 1001, "800");
  ASSERT_EQ(SaveProfilePage(2, &state_), 1) << state_.message;
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile2Name"), u"Hiking");
  EXPECT_EQ(Stored(u"CurrentProfile"), 2u);  // saving a profile page makes it current
  EXPECT_EQ(Stored(u"LagAdvance", MAIN_KEY u"\\Profile2"), 800u);

  // Undo on the other profile's page: a later save of the system page writes the current
  // profile's own values, not the page's.
  FillProfilePage(1, &state_);
  EXPECT_EQ(g_Profile.LagAdvance, 1500u);
  UndoProfilePage();
  FillSystemPage(&state_);
  ASSERT_EQ(SaveSystemPage(&state_), 1);
  EXPECT_EQ(Stored(u"LagAdvance", MAIN_KEY u"\\Profile2"), 800u);
}

// The switches beyond the receiver's own settings are on the profile page: shown as stored, saved
// as checked, and read back by the driver's load; the defaults leave them off.
TEST_F(SettingsPagesTest, TheProfilePageShowsAndSavesTheSwitchesBeyondTheReceiver) {
  SetDword(MAIN_KEY u"\\Profile1", u"AutoLag", 1);
  FillProfilePage(1, &state_);
  EXPECT_EQ(ControlChecked(kProfilePage, state_, 1040), 1);
  EXPECT_EQ(ControlChecked(kProfilePage, state_, 1041), 0);
  SetControlCheck(kProfilePage, &state_, 1040, 0);
  SetControlCheck(kProfilePage, &state_, 1041, 1);
  SetControlCheck(kProfilePage, &state_, 1042, 1);
  ASSERT_EQ(SaveProfilePage(1, &state_), 1) << state_.message;
  EXPECT_EQ(Stored(u"AutoLag", MAIN_KEY u"\\Profile1"), 0u);
  EXPECT_EQ(Stored(u"HonestStill", MAIN_KEY u"\\Profile1"), 1u);
  EXPECT_EQ(Stored(u"FallbackAsNoFix", MAIN_KEY u"\\Profile1"), 1u);
  LoadProfile(1);
  EXPECT_EQ(g_Profile.AutoLag, 0u);
  EXPECT_EQ(g_Profile.HonestStill, 1u);
  EXPECT_EQ(g_Profile.FallbackAsNoFix, 1u);
  ProfileDefaults(1, &state_);
  for (WORD id : {1040, 1041, 1042}) EXPECT_EQ(ControlChecked(kProfilePage, state_, id), 0) << id;
}

TEST_F(SettingsPagesTest, PortsTakeTheFirstDigitAndBecomeTheUsersTable) {
  FillPortsPage(&state_);
  Type(kPortsPage, 1086 + 3, "25");
  SetControlCheck(kPortsPage, &state_, 1066 + 3, 1);
  SetControlCheck(kPortsPage, &state_, 1076 + 3, 1);
  SetControlCheck(kPortsPage, &state_, 1053, 1);
  ASSERT_EQ(SavePortsPage(&state_), 1) << state_.message;
  EXPECT_EQ(g_System.Ports[3].order, 2);
  EXPECT_EQ(g_System.Ports[3].flags & (PORT_ENABLED | PORT_FIX | PORT_USER), PORT_ENABLED | PORT_FIX | PORT_USER);
  for (const SourcePort& p : g_System.Ports) EXPECT_TRUE(p.flags & PORT_USER);
  EXPECT_EQ(Stored(u"EnableScan"), 2u);

  FillPortsPage(&state_);
  Type(kPortsPage, 1086 + 5, "x");
  EXPECT_EQ(SavePortsPage(&state_), 0);
  EXPECT_NE(strstr(state_.message, "Order"), nullptr);
}

TEST_F(SettingsPagesTest, ExtrasStoreTheCellValuesAndAutoSelection) {
  FillExtrasPage(&state_, 0);
  EXPECT_STREQ(ControlText(kExtrasPage, state_, 1064), "Start");
  SetControlCheck(kExtrasPage, &state_, 1054, 0);  // the service off, the two others set
  SetControlCheck(kExtrasPage, &state_, 1056, 1);
  SetControlCheck(kExtrasPage, &state_, 1057, 1);
  SetControlCheck(kExtrasPage, &state_, 1098, 0);
  SetControlCheck(kExtrasPage, &state_, 1099, 1);
  Type(kExtrasPage, 1059, "250");
  ASSERT_EQ(SaveExtrasPage(&state_), 1) << state_.message;
  EXPECT_EQ(Stored(u"EnableCells", CELL_KEY), 0u);
  EXPECT_EQ(Stored(u"MaxCells", CELL_KEY), 250u);
  EXPECT_EQ(Stored(u"AutoEnable", SENSOR_KEY), 2u);
  FillExtrasPage(&state_, 1);
  EXPECT_STREQ(ControlText(kExtrasPage, state_, 1064), "Stop");
  EXPECT_EQ(ControlChecked(kExtrasPage, state_, 1097), 1);
}

}  // namespace

namespace {

TEST_F(SettingsPagesTest, OnlyARealProfileNumberOfARecordBecomesCurrent) {
  StatusSnapshot s;
  ReadStatusSnapshot(&s);
  g_System.CurrentProfile = 1;
  for (BYTE n : {0, 3, 255}) {
    s.haveRecord = 1;
    s.record.ProfileNumber = n;
    EXPECT_EQ(AdoptDriverProfile(s, false), 0) << int(n);
    EXPECT_EQ(g_System.CurrentProfile, 1u);
  }
  s.record.ProfileNumber = 2;
  EXPECT_EQ(AdoptDriverProfile(s, true), 0) << "a page is open";
  EXPECT_EQ(AdoptDriverProfile(s, false), 1);
  EXPECT_EQ(g_System.CurrentProfile, 2u);
  // The next save writes a real profile key.
  FillSystemPage(&state_);
  ASSERT_EQ(SaveSystemPage(&state_), 1);
  EXPECT_NE(Stored(u"LagAdvance", MAIN_KEY u"\\Profile2"), 0xDEADu);
  EXPECT_EQ(Stored(u"LagAdvance", MAIN_KEY u"\\Profile0"), 0xDEADu);
}

TEST_F(SettingsPagesTest, AMissingDriverKeyStillSavesTheSystemPage) {
  WideCopy(g_System.BuiltinKey, std::size(g_System.BuiltinKey), u"Drivers\\BuiltIn\\Gone");
  FillSystemPage(&state_);
  SetControlText(kSystemPage, &state_, 1008, "%s", "7");  // a new port: a re-registration
  SetControlText(kSystemPage, &state_, 1003, "%s", "700");
  ASSERT_EQ(SaveSystemPage(&state_), 1) << state_.message;
  EXPECT_EQ(Stored(u"SleepTime"), 700u);
}

TEST_F(SettingsPagesTest, RemovingTheAltitudeTableDeletesBothCopiesAndTurnsTheCorrectionOff) {
  std::filesystem::create_directories(root_ + "/Windows");
  std::filesystem::create_directories(root_ + "/Storage Card/Quorvale");
  SetString(u"System\\StorageManager\\Profiles\\SDMemory", u"Folder", u"Storage Card");
  std::ofstream(root_ + "/Windows/AltitudeTable_1.RAW") << "x";
  std::ofstream(root_ + "/Storage Card/Quorvale/AltitudeTable_1.RAW") << "x";
  g_System.EnableAltSep = 2;
  RemoveAltitudeTable();
  EXPECT_FALSE(FileExists(root_ + "/Windows/AltitudeTable_1.RAW"));
  EXPECT_FALSE(FileExists(root_ + "/Storage Card/Quorvale/AltitudeTable_1.RAW"));
  EXPECT_EQ(g_System.EnableAltSep, 0u);
}

}  // namespace
