// ferrox-reg as a user runs it: import, export, get, set, delete, and its errors.
#include <fstream>
#include "test_root.h"

namespace {

class FerroxRegTest : public TempRootTest {
 protected:
  int Reg(const std::string& args, std::string* out = nullptr, const std::string& root = "") {
    return RunCommand(std::string(FERROX_REG_TOOL) + " --root '" + (root.empty() ? root_ : root) + "' " + args, out);
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

const char kAllTypes[] =
    "REGEDIT4\n"
    "\n"
    "; a comment\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Quorvale\\FerroxDriver]\n"
    "\"EnableLogs\"=dword:00000002\n"
    "\"Profile1Name\"=\"Dri\\\"ving\\\\ \xc3\xa9t\xc3\xa9\"\n"
    "\"PortConfig\"=hex:00,00,00,00,05,01,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\n"
    "  00,00,00,00,00,00,00,00,00,00,00,05,02,00,00,00,00,00,00,00,00,00,00,00,00,\\\n"
    "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00\n"
    "@=\"default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Quorvale\\FerroxDriver\\Profile1]\n"
    "\"LagAdvance\"=dword:000005dc\n";

}  // namespace

TEST_F(FerroxRegTest, DefaultRegistryImportsAndExportsTheDriverRegistration) {
  std::string out;
  ASSERT_EQ(Reg(std::string("import ") + FERROX_SOURCE_DIR + "/data/default-registry.reg"), 0);
  ASSERT_EQ(Reg("export 'HKLM\\Drivers'", &out), 0);
  EXPECT_NE(out.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\FrxDriver]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Prefix\"=\"COM\"\n"), std::string::npos);
  EXPECT_NE(out.find("\"Index\"=dword:00000008\n"), std::string::npos);
  EXPECT_NE(out.find("\"Dll\"=\"FerroxDriver.dll\"\n"), std::string::npos);
  EXPECT_NE(out.find("\"Flags\"=dword:00000000\n"), std::string::npos);
  out.clear();
  EXPECT_EQ(Reg("get 'HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\SDMemory' Folder", &out), 0);
  EXPECT_EQ(out, "Storage Card\n");
}

TEST_F(FerroxRegTest, MissingValuesAndKeysExitOneWithAMessage) {
  std::string out;
  EXPECT_EQ(Reg("get 'HKLM\\Software\\Quorvale\\FerroxDriver' SleepTime 2>&1", &out), 1);
  EXPECT_EQ(out, "ferrox-reg: key not found: Software\\Quorvale\\FerroxDriver\n");
  ASSERT_EQ(Reg("set 'HKLM\\Software\\Quorvale\\FerroxDriver' KeepAlive dword:15000"), 0);
  out.clear();
  EXPECT_EQ(Reg("get 'HKLM\\Software\\Quorvale\\FerroxDriver' SleepTime 2>&1", &out), 1);
  EXPECT_EQ(out, "ferrox-reg: value not found: Software\\Quorvale\\FerroxDriver SleepTime\n");
  out.clear();
  EXPECT_EQ(Reg("set 'HKLM\\Software\\X' V word:1 2>&1", &out), 1);
  EXPECT_NE(out.find("bad type"), std::string::npos);
  out.clear();
  EXPECT_EQ(Reg("set 'HKLM\\Software\\X' V dword:99999999999 2>&1", &out), 1);
  EXPECT_EQ(Reg("import /nonexistent.reg 2>/dev/null"), 1);
  EXPECT_EQ(Reg("export 'HKCU\\Software' 2>/dev/null"), 1);
  EXPECT_EQ(Reg("frobnicate 2>/dev/null"), 1);
  EXPECT_EQ(Reg("--help", &out), 0);
}

TEST_F(FerroxRegTest, SetGetListAndDelete) {
  std::string out;
  ASSERT_EQ(Reg("set 'HKLM\\Software\\Quorvale\\FerroxDriver' KeepAlive dword:0x3a98"), 0);
  ASSERT_EQ(Reg("set 'HKLM\\Software\\Quorvale\\FerroxDriver' Profile1Name 'sz:Driving fast'"), 0);
  ASSERT_EQ(Reg("set --force 'HKLM\\Software\\Quorvale\\FerroxDriver\\Profile1' Stamp hex:01,02,ff"), 0);
  ASSERT_EQ(Reg("get 'HKLM\\Software\\Quorvale\\FerroxDriver' keepalive", &out), 0);
  EXPECT_EQ(out, "15000\n");
  out.clear();
  ASSERT_EQ(Reg("get 'HKLM\\Software\\Quorvale\\FerroxDriver\\Profile1' Stamp", &out), 0);
  EXPECT_EQ(out, "01,02,ff\n");
  out.clear();
  ASSERT_EQ(Reg("list 'HKLM\\Software\\Quorvale\\FerroxDriver'", &out), 0);
  EXPECT_EQ(out, "Profile1\\\n\"KeepAlive\"=dword:00003a98\n\"Profile1Name\"=\"Driving fast\"\n");
  ASSERT_EQ(Reg("delete 'HKLM\\Software\\Quorvale\\FerroxDriver' KeepAlive"), 0);
  EXPECT_EQ(Reg("delete 'HKLM\\Software\\Quorvale\\FerroxDriver' KeepAlive 2>/dev/null"), 1);
  ASSERT_EQ(Reg("delete 'HKLM\\Software\\Quorvale'"), 0);
  EXPECT_EQ(Reg("list 'HKLM\\Software\\Quorvale\\FerroxDriver' 2>/dev/null"), 1);
}

TEST_F(FerroxRegTest, ImportExportRoundTripOfAllThreeTypes) {
  std::string file = Write("all.reg", kAllTypes);
  ASSERT_EQ(Reg("import '" + file + "'"), 0);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(u"Software\\Quorvale\\FerroxDriver", u"EnableLogs", &v));
  EXPECT_EQ(v, 2u);
  EXPECT_EQ(GetString(u"Software\\Quorvale\\FerroxDriver", u"Profile1Name"), u"Dri\"ving\\ \u00e9t\u00e9");
  HKEY k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Quorvale\\FerroxDriver", 0, 0, &k), ERROR_SUCCESS);
  BYTE ports[80];
  DWORD size = 80, type = 0;
  ASSERT_EQ(RegQueryValueExW(k, u"PortConfig", nullptr, &type, ports, &size), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(ports[4], 5);
  EXPECT_EQ(ports[36], 5);
  EXPECT_EQ(ports[37], 2);

  std::string first, second;
  std::string exported = root_ + "/exported.reg";
  ASSERT_EQ(Reg("export 'HKLM\\Software\\Quorvale' '" + exported + "'"), 0);
  first = ReadWholeFile(exported);
  std::string other = root_ + "/other";
  ASSERT_EQ(Reg("import '" + exported + "'", nullptr, other), 0);
  ASSERT_EQ(Reg("export 'HKLM\\Software\\Quorvale'", &second, other), 0);
  EXPECT_EQ(first, second);
  EXPECT_NE(first.find("\"PortConfig\"=hex:00,00,00,00,05,01"), std::string::npos) << first;
  EXPECT_NE(first.find("@=\"default\""), std::string::npos);
}

TEST_F(FerroxRegTest, ABadFileChangesNothing) {
  std::string text = std::string(kAllTypes) + "\"Broken\"=dword:xyz\n";
  std::string file = Write("bad.reg", text);
  std::string out;
  EXPECT_EQ(Reg("import '" + file + "' 2>&1", &out), 1);
  EXPECT_NE(out.find("line 14: bad value data: dword:xyz"), std::string::npos) << out;
  HKEY k;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Quorvale", 0, 0, &k), ERROR_FILE_NOT_FOUND);
  // Text that is not UTF-8 would not come back the same: refused with its line.
  out.clear();
  EXPECT_EQ(Reg("import '" + Write("latin1.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"Name\"=\"Stra\xdf\xe7\" \"e\"\n") +
                    "' 2>&1",
                &out),
            1);
  EXPECT_NE(out.find("line 3: text that is not UTF-8"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(Reg("import '" + Write("nohdr.reg", "[HKEY_LOCAL_MACHINE\\X]\n") + "' 2>&1", &out), 1);
  EXPECT_NE(out.find("REGEDIT4 expected"), std::string::npos);
  // Deletions in a file: a key and a value.
  ASSERT_EQ(Reg("import '" + Write("ok.reg", kAllTypes) + "'"), 0);
  ASSERT_EQ(Reg("import '" + Write("del.reg", "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Software\\Quorvale\\FerroxDriver\\Profile1]\n"
                                              "[HKEY_LOCAL_MACHINE\\Software\\Quorvale\\FerroxDriver]\n\"EnableLogs\"=-\n") + "'"), 0);
  DWORD v;
  EXPECT_FALSE(GetDword(u"Software\\Quorvale\\FerroxDriver", u"EnableLogs", &v));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Quorvale\\FerroxDriver\\Profile1", 0, 0, &k),
            ERROR_FILE_NOT_FOUND);
}
