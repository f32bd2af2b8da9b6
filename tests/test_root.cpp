#include "test_root.h"
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include "support/log.h"

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

int RunCommand(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TempRootTest::SetUp() {
  char tmpl[] = "/tmp/ferrox-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  root_ = tmpl;
  PlatformSetRoot(root_);
  LogSetEnable(0);
}

void TempRootTest::TearDown() {
  SetLogName(nullptr);
  PlatformRegistryClose();
  if (getenv("FERROX_KEEP_TEST_ROOT")) {  // for looking at logs after a failure
    fprintf(stderr, "test root kept: %s\n", root_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TempRootTest::Linux(const char* platformPath) {
  std::string out;
  EXPECT_EQ(PlatformTranslatePath(platformPath, out), ERROR_SUCCESS);
  return out;
}

void TempRootTest::SetDword(const char16_t* key, const char16_t* name, DWORD value) {
  HKEY h;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, 0, nullptr, &h, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
  RegCloseKey(h);
}

void TempRootTest::SetString(const char16_t* key, const char16_t* name, const char16_t* text) {
  HKEY h;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, 0, nullptr, &h, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>((WideLen(text) + 1) * 2)),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

bool TempRootTest::GetDword(const char16_t* key, const char16_t* name, DWORD* value) {
  HKEY h;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &h) != ERROR_SUCCESS) return false;
  DWORD size = 4, type = 0;
  LONG err = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(h);
  return err == ERROR_SUCCESS && type == REG_DWORD;
}

std::u16string TempRootTest::GetString(const char16_t* key, const char16_t* name) {
  HKEY h;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &h) != ERROR_SUCCESS) return u"<no key>";
  WCHAR buf[512] = {};
  DWORD size = sizeof buf - 2;
  LONG err = RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(h);
  return err == ERROR_SUCCESS ? std::u16string(buf) : u"<no value>";
}

SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
  SYSTEMTIME t{};
  t.wYear = y;
  t.wMonth = mo;
  t.wDay = d;
  t.wHour = h;
  t.wMinute = mi;
  t.wSecond = s;
  t.wMilliseconds = ms;
  return t;
}
