// The settings store: the driver's full load, profiles, the port table, the multiplexer keys,
// and the settings application's load, save and first run.
#include <iterator>
#include "settings_store/known_values.h"
#include "settings_store/settings.h"
#include "support/log.h"
#include "test_root.h"

namespace {

class SettingsTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    ResetDriverSettings();
  }
  void StorePorts(const SourcePort* ports) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, reinterpret_cast<const BYTE*>(ports), 80), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  void Multiplexer(DWORD index) {
    SetString(GID_MUX_KEY, u"DriverInterface", u"COM4:");
    SetDword(GID_ACTIVE_KEY, u"Index", index);
  }
};

}  // namespace

TEST_F(SettingsTest, WithoutAMainKeyTheDefaultsAndDefaultPortsApply) {
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.GpsComPort, 0u);  // LoadSoftwareSettings found no main key
  EXPECT_EQ(g_Profile.LagAdvance, 1000u);  // the preset
  EXPECT_EQ(g_Profile.EnableCompass, 1u);
  EXPECT_DOUBLE_EQ(g_Profile.DeltaDistance, 3.0);
  EXPECT_EQ(g_System.Ports[0].flags & (PORT_ENABLED | PORT_FIX), PORT_ENABLED | PORT_FIX);
  EXPECT_EQ(g_System.Ports[0].order, 1);
  // Without a main key no stored table is read, so nothing marks the own port either.
  for (int i = 1; i < kSourcePorts; ++i) EXPECT_EQ(g_System.Ports[i].flags, 0) << i;
  EXPECT_EQ(std::u16string(g_System.BuiltinKey), DEFAULT_BUILTIN_KEY);
  EXPECT_EQ(std::u16string(g_System.OwnPortName), u"COM1:");
  HKEY k;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, MAIN_KEY, 0, 0, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(SettingsTest, WithoutAMainKeyTheMultiplexerIndexBecomesTheGpsPort) {
  SetDword(DEFAULT_BUILTIN_KEY, u"Index", 8);
  Multiplexer(4);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.GpsComPort, 4u);
  EXPECT_EQ(g_System.Ports[4].flags & PORT_ENABLED, PORT_ENABLED);
  EXPECT_EQ(g_System.Ports[4].order, 2);
  EXPECT_EQ(g_System.Ports[8].flags, 0);
  EXPECT_EQ(std::u16string(g_System.OwnPortName), u"COM8:");
}

TEST_F(SettingsTest, MainValuesLoadWithTheirRules) {
  SetDword(MAIN_KEY, u"CurrentProfile", 7);
  SetDword(MAIN_KEY, u"SleepTime", 150);
  SetDword(MAIN_KEY, u"KeepAlive", 5000);
  SetDword(MAIN_KEY, u"GpsComPort", 6);
  SetDword(MAIN_KEY u"\\Profile1", u"DeltaDistance", 50);
  SetDword(MAIN_KEY u"\\Profile1", u"MagVal", 350);
  SetDword(MAIN_KEY u"\\Profile1", u"MagLand", 180);
  SetDword(MAIN_KEY u"\\Profile1", u"DeltaSpeed", 25);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.CurrentProfile, 1u);
  EXPECT_EQ(g_System.SleepTime, 200u);
  EXPECT_EQ(g_System.KeepAlive, 5000u);
  EXPECT_EQ(g_System.GpsComPort, 6u);
  EXPECT_DOUBLE_EQ(g_Profile.DeltaDistance, 5.0);
  EXPECT_DOUBLE_EQ(g_Profile.DeltaSpeed, 2.5);
  EXPECT_EQ(g_Profile.MagVal, -10);
  EXPECT_EQ(g_Profile.MagLand, 180);
  EXPECT_EQ(g_Profile.LagAdvance, 1000u);  // missing: the preset, not the profile default
  DWORD stored = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"GpsComPort", &stored));
  EXPECT_EQ(stored, 6u);
  // With smoothing the floor is 400.
  SetDword(MAIN_KEY, u"EnableSmooth", 1);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.SleepTime, 400u);
}

TEST_F(SettingsTest, AProfileKeyWithoutDeltaDistanceTakesThatProfilesDefaults) {
  SetDword(MAIN_KEY, u"CurrentProfile", 2);
  SetDword(MAIN_KEY u"\\Profile2", u"LagAdvance", 700);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_Profile.LagAdvance, 1500u);
  EXPECT_DOUBLE_EQ(g_Profile.DeltaDistance, 1.0);
  EXPECT_DOUBLE_EQ(g_Profile.MinSpeed, 0.2);
  EXPECT_EQ(g_Profile.EnableCourse, 1u);
}

TEST_F(SettingsTest, ASoftwareReloadKeepsPreviousValuesOfMissingProfileValues) {
  SetDword(MAIN_KEY u"\\Profile1", u"DeltaDistance", 30);
  SetDword(MAIN_KEY, u"CurrentProfile", 1);
  LoadAllSettings(nullptr);
  g_Profile.LagAdvance = 1234;
  EXPECT_EQ(LoadSoftwareSettings(), 4u);  // GpsComPort missing: 4
  EXPECT_EQ(g_Profile.LagAdvance, 1234u);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_Profile.LagAdvance, 1000u);
}

TEST_F(SettingsTest, PortTableNormalisation) {
  SourcePort ports[kSourcePorts] = {};
  ports[3].flags = PORT_FOUND;
  ports[3].handle = 77;
  ports[8].flags = PORT_ENABLED | PORT_FIX;
  ports[8].order = 1;
  ports[5].flags = PORT_OWN;
  StorePorts(ports);
  SetDword(DEFAULT_BUILTIN_KEY, u"Index", 8);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.Ports[3].flags, PORT_ENABLED);
  EXPECT_EQ(g_System.Ports[3].handle, 0u);
  EXPECT_EQ(g_System.Ports[8].flags, PORT_OWN | PORT_FIX);
  EXPECT_EQ(g_System.Ports[8].order, kOwnPortOrder);
  EXPECT_EQ(g_System.Ports[5].flags, 0);
  EXPECT_EQ(g_System.Ports[0].flags, 0);  // a stored enabled entry: no default ports
}

TEST_F(SettingsTest, AUserTableWithNothingEnabledStaysEmpty) {
  SourcePort ports[kSourcePorts] = {};
  for (auto& p : ports) p.flags = PORT_USER;
  StorePorts(ports);
  LoadAllSettings(nullptr);
  for (int i = 0; i < kSourcePorts; ++i) EXPECT_EQ(g_System.Ports[i].flags & PORT_ENABLED, 0) << i;
}

TEST_F(SettingsTest, AnOutOfRangeGpsPortNamesNoEntry) {
  SetDword(MAIN_KEY, u"GpsComPort", 4000);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.GpsComPort, 4000u);
  EXPECT_EQ(g_System.Ports[0].flags & PORT_ENABLED, PORT_ENABLED);
  for (int i = 1; i < kSourcePorts; ++i) EXPECT_EQ(g_System.Ports[i].flags & PORT_ENABLED, 0) << i;
}

TEST_F(SettingsTest, MultiplexerCollisionsMoveTheGpsPort) {
  SetDword(MAIN_KEY, u"GpsComPort", 4);
  SetDword(DEFAULT_BUILTIN_KEY, u"Index", 4);
  Multiplexer(4);
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.GpsComPort, 3u);
  EXPECT_EQ(GetString(GID_MUX_KEY, u"DriverInterface"), u"COM3:");
  DWORD v = 0;
  ASSERT_TRUE(GetDword(GID_ACTIVE_KEY, u"Index", &v));
  EXPECT_EQ(v, 4u);  // moved by the next load
  LoadAllSettings(nullptr);
  ASSERT_TRUE(GetDword(GID_ACTIVE_KEY, u"Index", &v));
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(g_System.GpsComPort, 3u);
}

TEST_F(SettingsTest, TheContextNamesTheBuiltinKeyAndIsRecorded) {
  SetString(u"Drivers\\Active\\12", u"Key", u"Drivers\\BuiltIn\\Other");
  SetDword(u"Drivers\\BuiltIn\\Other", u"Index", 7);
  SetDword(MAIN_KEY, u"EnableScan", 1);
  SetString(GID_DRIVERS_KEY, u"CurrentDriver", u"GpsReceiver");
  SetDword(GID_DRIVERS_KEY u"\\GpsReceiver", u"PollInterval", 1);
  SetDword(MAIN_KEY, u"GpsidPoll", 250);
  LoadAllSettings(u"Drivers\\Active\\12");
  EXPECT_EQ(std::u16string(g_System.BuiltinKey), u"Drivers\\BuiltIn\\Other");
  EXPECT_EQ(g_System.OwnIndex, 7u);
  EXPECT_EQ(GetString(MAIN_KEY, u"ActiveDriver"), u"Drivers\\Active\\12");
  DWORD v = 0;
  ASSERT_TRUE(GetDword(GID_DRIVERS_KEY u"\\GpsReceiver", u"PollInterval", &v));
  EXPECT_EQ(v, 250u);
  ASSERT_TRUE(GetDword(GID_DRIVERS_KEY, u"InputBufferSize", &v));
  EXPECT_EQ(v, 1024u);
  // An active key without Key falls back to the default builtin key.
  SetDword(u"Drivers\\Active\\13", u"Other", 1);
  LoadAllSettings(u"Drivers\\Active\\13");
  EXPECT_EQ(std::u16string(g_System.BuiltinKey), DEFAULT_BUILTIN_KEY);
}

TEST_F(SettingsTest, ScanSettingAndCurrentProfileSwitch) {
  EXPECT_EQ(ReadScanSetting(), 0u);
  SaveScanSetting(2);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"EnableScan", &v));
  EXPECT_EQ(v, 2u);
  SetDword(MAIN_KEY, u"CurrentProfile", 2);
  SaveCurrentProfile(0);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &v));
  EXPECT_EQ(v, 1u);
  SaveCurrentProfile(0);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &v));
  EXPECT_EQ(v, 2u);
  SaveCurrentProfile(1);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &v));
  EXPECT_EQ(v, 1u);
  SaveCurrentProfile(5);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &v));
  EXPECT_EQ(v, 1u);
}

TEST_F(SettingsTest, HomeStatusOnlyForTheSettingsTile) {
  SetDword(MAIN_KEY, u"CurrentProfile", 2);
  SetString(MAIN_KEY, u"Profile2Name", u"Walking");
  SetString(HOME_PAGE_KEY, u"ACTIONURL", u"\\Windows\\Other.lnk");
  PublishHomeStatus("Sleeping");
  EXPECT_EQ(GetString(HOME_PAGE_KEY, u"TEXT2"), u"<no value>");
  SetString(HOME_PAGE_KEY, u"ACTIONURL", SETUP_LINK);
  PublishHomeStatus("Sleeping");
  EXPECT_EQ(GetString(HOME_PAGE_KEY, u"TEXT2"), u"Walking - Sleeping");
  DWORD v = 9;
  ASSERT_TRUE(GetDword(HOME_KEY, u"Updated", &v));
  EXPECT_EQ(v, 1u);
  PublishHomeStatus("Sleeping");
  ASSERT_TRUE(GetDword(HOME_KEY, u"Updated", &v));
  EXPECT_EQ(v, 0u);
}

TEST(Tenths, RoundTripTruncates) {
  EXPECT_EQ(ToTenths(2.55), 25u);
  EXPECT_DOUBLE_EQ(FromTenths(25), 2.5);
  EXPECT_EQ(ToTenths(0.2), 2u);
  EXPECT_EQ(ToTenths(-1.0), 0u);
  EXPECT_EQ(NormaliseMagnetic(350), -10);
  EXPECT_EQ(NormaliseMagnetic(180), 180);
  EXPECT_EQ(NormaliseMagnetic(-20), -20);
}

// The settings application.
class AppSettingsTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    ResetAppSettings();
  }
};

TEST_F(AppSettingsTest, FirstRunWritesBothProfilesAndEndsOnProfileOne) {
  AppLoadAllSettings();
  EXPECT_EQ(g_System.CurrentProfile, 0u);
  ASSERT_EQ(AppFirstRunInit(), 1);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"CurrentProfile", &v));
  EXPECT_EQ(v, 1u);
  ASSERT_TRUE(GetDword(MAIN_KEY u"\\Profile2", u"MinSpeed", &v));
  EXPECT_EQ(v, 2u);
  ASSERT_TRUE(GetDword(MAIN_KEY u"\\Profile1", u"LagAdvance", &v));
  EXPECT_EQ(v, 1500u);
  ASSERT_TRUE(GetDword(MAIN_KEY u"\\Profile1", u"EnableCompass", &v));
  EXPECT_EQ(v, 0u);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"EnableSmooth", &v));
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile1Name"), u"Driving");
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile2Name"), u"Walking");
  ASSERT_TRUE(GetDword(SENSOR_KEY, u"AutoEnable", &v));
  EXPECT_EQ(v, 1u);
  // The driver now loads what the application wrote.
  ResetDriverSettings();
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_Profile.LagAdvance, 1500u);
  EXPECT_EQ(g_Profile.EnableCompass, 0u);
  // A second start finds the main key and does not run again.
  ResetAppSettings();
  AppLoadAllSettings();
  EXPECT_EQ(AppFirstRunInit(), 0);
}

TEST_F(AppSettingsTest, SavingKeepsTheApplicationsSleepTimeFloorAndTenths) {
  AppLoadAllSettings();
  AppFirstRunInit();
  g_System.EnableSmooth = 0;
  g_System.SleepTime = 150;
  g_Profile.DeltaSpeed = 2.55;
  g_Profile.MagVal = 350;
  SaveSettings(0);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(MAIN_KEY, u"SleepTime", &v));
  EXPECT_EQ(v, 150u);
  ASSERT_TRUE(GetDword(MAIN_KEY u"\\Profile1", u"DeltaSpeed", &v));
  EXPECT_EQ(v, 25u);
  ASSERT_TRUE(GetDword(MAIN_KEY u"\\Profile1", u"MagVal", &v));
  EXPECT_EQ(static_cast<LONG>(v), -10);
  ASSERT_TRUE(GetDword(GID_KEY, u"IsEnabled", &v) == false || v == 1u);
  ResetDriverSettings();
  LoadAllSettings(nullptr);
  EXPECT_EQ(g_System.SleepTime, 200u);  // the driver raises it on load
  EXPECT_DOUBLE_EQ(g_Profile.DeltaSpeed, 2.5);
}

TEST_F(AppSettingsTest, LongProfileNamesReadBackAsMissing) {
  AppLoadAllSettings();
  AppFirstRunInit();
  WideCopy(g_App.Profile1Name, std::size(g_App.Profile1Name), u"ABCDEFGHIJKLMNOPQRST");
  SaveSettings(1);
  EXPECT_EQ(GetString(MAIN_KEY, u"Profile1Name"), u"ABCDEFGHIJKLMNOPQRST");
  ResetAppSettings();
  AppLoadAllSettings();
  EXPECT_EQ(std::u16string(g_App.Profile1Name), u"Driving");
  WideCopy(g_App.Profile2Name, std::size(g_App.Profile2Name), u"Fifteen chars!!");
  SaveSettings(2);
  ResetAppSettings();
  AppLoadAllSettings();
  EXPECT_EQ(std::u16string(g_App.Profile2Name), u"Fifteen chars!!");
  EXPECT_EQ(g_System.CurrentProfile, 2u);
}

TEST_F(AppSettingsTest, ChangedRegistrationAndGpsPortAreWrittenToThePlatformKeys) {
  SetDword(DEFAULT_BUILTIN_KEY, u"Index", 8);
  SetDword(DEFAULT_BUILTIN_KEY, u"Flags", 0);
  SetDword(GID_KEY, u"IsEnabled", 1);
  SetString(GID_DRIVERS_KEY, u"CurrentDriver", u"GpsReceiver");
  SetDword(GID_DRIVERS_KEY u"\\GpsReceiver", u"PollInterval", 1);
  Multiplexer(4);
  AppLoadAllSettings();
  AppFirstRunInit();
  EXPECT_EQ(g_System.OwnIndex, 8u);
  g_App.DriverEnabled = 0;
  g_System.GpsComPort = 6;
  g_App.GidEnabled = 0;
  g_System.SleepTime = 2000;
  SaveSettings(0);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(DEFAULT_BUILTIN_KEY, u"Flags", &v));
  EXPECT_EQ(v, 5u);
  ASSERT_TRUE(GetDword(GID_ACTIVE_KEY, u"Index", &v));
  EXPECT_EQ(v, 6u);
  EXPECT_EQ(GetString(GID_MUX_KEY, u"DriverInterface"), u"COM6:");
  ASSERT_TRUE(GetDword(GID_KEY, u"IsEnabled", &v));
  EXPECT_EQ(v, 0u);
  ASSERT_TRUE(GetDword(GID_DRIVERS_KEY u"\\GpsReceiver", u"PollInterval", &v));
  EXPECT_EQ(v, 200u);
  ASSERT_TRUE(GetDword(MAIN_KEY, u"GpsComPort", &v));
  EXPECT_EQ(v, 6u);
}

// The README's way of turning an option on: one value in a profile key that holds nothing else
// (as a fresh root has it). The profile counts as new, its presets apply, and the value holds.
TEST_F(SettingsTest, OptionsSetAloneInANewProfileKeyHold) {
  WCHAR path[64];
  ProfileKeyPath(1, path);
  SetDword(path, u"FallbackAsNoFix", 1);
  SetDword(path, u"HonestStill", 1);
  LoadProfile(1);
  EXPECT_EQ(g_Profile.FallbackAsNoFix, 1u);
  EXPECT_EQ(g_Profile.HonestStill, 1u);
  EXPECT_EQ(g_Profile.AutoLag, 0u);
  EXPECT_EQ(g_Profile.LagAdvance, 1500u);  // the Driving preset
  SetDword(path, u"FallbackAsNoFix", 7);   // anything but 1 is off
  LoadProfile(1);
  EXPECT_EQ(g_Profile.FallbackAsNoFix, 0u);
}

// The table ferrox-reg checks against: every value the settings program saves (all profiles,
// the system keys) is known with the type it is saved as, so a user's `set` of any of them is
// taken; names and keys compare without case, '#' standing for one digit.
TEST_F(SettingsTest, EveryValueTheSettingsProgramSavesIsKnownWithItsType) {
  AppLoadAllSettings();
  for (DWORD n = 0; n <= 2; ++n) SaveSettings(n);
  int checked = 0;
  const char16_t* keys[] = {MAIN_KEY, MAIN_KEY u"\\Profile0", MAIN_KEY u"\\Profile1", MAIN_KEY u"\\Profile2",
                            SENSOR_KEY, CELL_KEY};
  for (const char16_t* key : keys) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &h) != ERROR_SUCCESS) continue;
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD units = 256, type = 0, wanted = 0;
      if (RegEnumValueW(h, i, name, &units, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
      ++checked;
      ASSERT_EQ(LookUpKnownValue(key, name, &wanted), VALUE_KNOWN) << WideToUtf8(key) << " " << WideToUtf8(name);
      EXPECT_TRUE(wanted == type || (wanted == KNOWN_TEXT_OR_NUMBER && (type == REG_SZ || type == REG_DWORD)))
          << WideToUtf8(name);
    }
    RegCloseKey(h);
  }
  EXPECT_GT(checked, 30);
  DWORD type = 0;
  EXPECT_EQ(LookUpKnownValue(u"software\\quorvale\\ferroxdriver\\profile2", u"autolag", &type), VALUE_KNOWN);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(LookUpKnownValue(u"Software\\Quorvale\\FerroxDriver\\ProfileX", u"AutoLag", &type), KEY_NOT_CHECKED);
  EXPECT_EQ(LookUpKnownValue(u"Software\\Quorvale\\SerialPorts\\COM7:", u"Devise", &type), VALUE_UNKNOWN);
  EXPECT_EQ(LookUpKnownValue(u"Software\\Quorvale\\Frxd\\Status", u"Anything", &type), KEY_NOT_CHECKED);
  EXPECT_EQ(LookUpKnownValue(u"Software\\Quorvale\\Frxd", u"TcpPortX", &type), VALUE_UNKNOWN);
  EXPECT_EQ(LookUpKnownValue(u"Software\\Quorvale\\Frxd", u"TcpPor", &type), VALUE_UNKNOWN);
}
