// The registry on SQLite: keys, values, enumeration, errors, several processes.
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <algorithm>
#include "platform/registry_values.h"
#include "test_root.h"

using RegistryTest = TempRootTest;

namespace {
HKEY Create(const char16_t* path, DWORD* disposition = nullptr) {
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &h, disposition), ERROR_SUCCESS);
  return h;
}
}  // namespace

TEST_F(RegistryTest, CreateReportsDispositionAndNamesIgnoreCaseButKeepSpelling) {
  DWORD disp = 0;
  HKEY a = Create(u"Software\\Quorvale\\FerroxDriver", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY b = Create(u"\\SOFTWARE\\quorvale\\ferroxdriver", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  DWORD v = 7;
  ASSERT_EQ(RegSetValueExW(a, u"SleepTime", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
  DWORD out = 0, size = 4, type = 0;
  ASSERT_EQ(RegQueryValueExW(b, u"SLEEPTIME", nullptr, &type, reinterpret_cast<BYTE*>(&out), &size), ERROR_SUCCESS);
  EXPECT_EQ(out, 7u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  WCHAR name[64];
  DWORD units = 64;
  ASSERT_EQ(RegEnumValueW(b, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"SleepTime");
  EXPECT_EQ(units, 9u);
  HKEY sw;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software", 0, 0, &sw), ERROR_SUCCESS);
  units = 64;
  ASSERT_EQ(RegEnumKeyExW(sw, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Quorvale");
  units = 64;
  EXPECT_EQ(RegEnumKeyExW(sw, 1, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  // A second write with other spelling keeps one value.
  v = 8;
  ASSERT_EQ(RegSetValueExW(b, u"sleeptime", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
  units = 64;
  EXPECT_EQ(RegEnumValueW(b, 1, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(a);
  RegCloseKey(b);
  RegCloseKey(sw);
  EXPECT_EQ(PlatformOpenKeyCount(), 0);
}

TEST_F(RegistryTest, QueryRulesForMissingValuesShortBuffersAndSizes) {
  HKEY k = Create(u"Software\\Quorvale\\FerroxDriver");
  const char16_t name20[] = u"ABCDEFGHIJKLMNOPQRST";
  ASSERT_EQ(RegSetValueExW(k, u"Profile1Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name20), 42), ERROR_SUCCESS);
  BYTE buf[64];
  memset(buf, 0xAB, sizeof buf);
  DWORD size = 32, type = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"Profile1Name", nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 42u);
  EXPECT_EQ(buf[0], 0xAB);  // nothing copied
  size = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"Profile1Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 42u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExW(k, u"Profile1Name", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buf)), name20);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(k, u"Missing", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
  BYTE bin[80];
  for (int i = 0; i < 80; ++i) bin[i] = static_cast<BYTE>(i);
  ASSERT_EQ(RegSetValueExW(k, u"PortConfig", 0, REG_BINARY, bin, 80), ERROR_SUCCESS);
  BYTE back[80] = {};
  size = 80;
  ASSERT_EQ(RegQueryValueExW(k, u"PortConfig", nullptr, &type, back, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(memcmp(bin, back, 80), 0);
  EXPECT_EQ(RegQueryValueExW(k, u"PortConfig", nullptr, &type, back, nullptr), ERROR_INVALID_PARAMETER);
  HKEY none;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Nope", 0, 0, &none), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  RegCloseKey(k);
}

TEST_F(RegistryTest, DeletingKeysTakesSubkeysAndValuesAndStaleHandlesFail) {
  HKEY k = Create(u"Software\\Quorvale\\FerroxDriver\\Profile1");
  DWORD v = 30;
  ASSERT_EQ(RegSetValueExW(k, u"DeltaDistance", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(k, u"deltadistance"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(k, u"DeltaDistance"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExW(k, u"DeltaDistance", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Quorvale"), ERROR_SUCCESS);
  HKEY gone;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Quorvale\\FerroxDriver", 0, 0, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(k, u"X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_KEY_DELETED);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(k, u"DeltaDistance", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_KEY_DELETED);
  // Recreating the path does not resurrect old values.
  HKEY again = Create(u"Software\\Quorvale\\FerroxDriver\\Profile1");
  EXPECT_EQ(RegQueryValueExW(again, u"DeltaDistance", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Nope"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
  RegCloseKey(again);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, EnumerationReportsShortNameBuffers) {
  HKEY k = Create(u"Drivers\\BuiltIn\\FrxDriver");
  HKEY parent;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn", 0, 0, &parent), ERROR_SUCCESS);
  WCHAR name[4];
  DWORD units = 4;
  EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(units, 10u);
  RegCloseKey(parent);
  RegCloseKey(k);
}

TEST_F(RegistryTest, TwoProcessesWritingAThousandValuesEachLoseNone) {
  HKEY k = Create(u"Software\\Stress");
  RegCloseKey(k);
  PlatformRegistryClose();  // each process opens its own connection
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      HKEY h;
      int failures = 0;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Stress", 0, 0, &h) != ERROR_SUCCESS) _exit(2);
      for (DWORD i = 0; i < 1000; ++i) {
        std::u16string name = Utf8ToWide((std::string("P") + std::to_string(p) + "_" + std::to_string(i)).c_str());
        DWORD v = i * 2 + static_cast<DWORD>(p);
        if (RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_SUCCESS) ++failures;
      }
      RegCloseKey(h);
      PlatformRegistryClose();
      _exit(failures ? 1 : 0);
    }
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < 2; ++p)
    for (DWORD i = 0; i < 1000; ++i) {
      DWORD v = 0;
      std::u16string name = Utf8ToWide((std::string("P") + std::to_string(p) + "_" + std::to_string(i)).c_str());
      ASSERT_TRUE(GetDword(u"Software\\Stress", name.c_str(), &v));
      ASSERT_EQ(v, i * 2 + static_cast<DWORD>(p));
    }
}

TEST_F(RegistryTest, ACorruptDatabaseGivesAClearErrorNotACrash) {
  PlatformRegistryClose();
  {
    std::ofstream f(root_ + "/registry.db", std::ios::binary | std::ios::trunc);
    std::string junk(8192, 'x');
    f << junk;
  }
  HKEY k;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, &k), ERROR_BADDB);
  EXPECT_NE(std::string(PlatformRegistryError()).find("registry"), std::string::npos);
  DWORD v = 1;
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_BADDB);
  // The damaged file is left as it was for the user to inspect.
  EXPECT_EQ(ReadWholeFile(root_ + "/registry.db").size(), 8192u);
}

TEST_F(RegistryTest, ARootThatCannotHoldADatabaseFails) {
  std::string file = root_ + "/not-a-folder";
  { std::ofstream(file) << "x"; }
  PlatformSetRoot(file);
  HKEY k;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, &k), ERROR_SUCCESS);
  EXPECT_NE(std::string(PlatformRegistryError()), "");
  PlatformSetRoot(root_);
}

TEST_F(RegistryTest, ABatchIsSeenWholeByOtherProcessesAndOnlyAtItsEnd) {
  RegCloseKey(Create(u"Software\\Batch"));
  PlatformRegistryClose();  // the other process opens its own connection
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // answers, at each signal, whether both values and the subkey are there
    DWORD none;
    char step = GetDword(u"Software\\Batch", u"A", &none) ? 'x' : 'r';  // its connection is open: ready
    if (write(toParent[1], &step, 1) != 1) _exit(1);
    for (int i = 0; i < 2 && read(toChild[0], &step, 1) == 1; ++i) {
      DWORD v;
      HKEY sub;
      bool a = GetDword(u"Software\\Batch", u"A", &v), b = GetDword(u"Software\\Batch", u"B", &v);
      bool s = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Batch\\Sub", 0, 0, &sub) == ERROR_SUCCESS;
      char seen = static_cast<char>('0' + a + b + s);
      if (write(toParent[1], &seen, 1) != 1) _exit(1);
    }
    PlatformRegistryClose();
    _exit(0);
  }
  char seen = 0;
  ASSERT_EQ(read(toParent[0], &seen, 1), 1);
  ASSERT_EQ(seen, 'r');
  PlatformRegistryBeginBatch();
  SetDword(u"Software\\Batch", u"A", 1);
  RegCloseKey(Create(u"Software\\Batch\\Sub"));
  EXPECT_NE(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Batch\\Missing"), ERROR_SUCCESS);  // fails alone
  SetDword(u"Software\\Batch", u"B", 2);
  ASSERT_EQ(write(toChild[1], "1", 1), 1);
  ASSERT_EQ(read(toParent[0], &seen, 1), 1);
  EXPECT_EQ(seen, '0');  // nothing yet
  EXPECT_TRUE(PlatformRegistryEndBatch());
  ASSERT_EQ(write(toChild[1], "2", 1), 1);
  ASSERT_EQ(read(toParent[0], &seen, 1), 1);
  EXPECT_EQ(seen, '3');  // all of it
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST_F(RegistryTest, ASettingOfTheOtherTypeIsReadWhenItIsANumberAndOtherwiseNamedOnce) {
  const char16_t* key = u"Software\\Quorvale\\Gpsd";
  SetDword(key, u"Port", 2948);  // a port written as a number
  EXPECT_EQ(PlatformReadText(key, u"Port", "2947"), "2948");
  SetString(key, u"Poll", u"42");
  EXPECT_EQ(PlatformReadDword(key, u"Poll", 7), 42u);
  SetString(key, u"Poll", u"0x10");
  EXPECT_EQ(PlatformReadDword(key, u"Poll", 7), 16u);
  // Not a number, or out of range: the default, with one line naming the value.
  testing::internal::CaptureStderr();
  for (const char16_t* text : {u"fast", u"-1", u"4294967296", u"12 ms"}) {
    SetString(key, u"Poll", text);
    EXPECT_EQ(PlatformReadDword(key, u"Poll", 7), 7u);
  }
  EXPECT_EQ(PlatformReadDword(key, u"Poll", 7), 7u);
  HKEY k = Create(key);
  BYTE blob[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(k, u"Host", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(PlatformReadText(key, u"Host", "localhost"), "localhost");
  EXPECT_EQ(PlatformReadText(key, u"Host", "localhost"), "localhost");
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("Software\\Quorvale\\Gpsd\\Poll"), std::string::npos) << said;
  EXPECT_NE(said.find("Software\\Quorvale\\Gpsd\\Host"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
}
