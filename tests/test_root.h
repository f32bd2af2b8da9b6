// A fresh data root per test, and small helpers shared by the tests.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include "platform/platform.h"

std::string ReadWholeFile(const std::string& path);
// A SYSTEMTIME of the given date and time.
SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms);
bool FileExists(const std::string& path);
// Runs a shell command; returns its exit status and captures stdout (and stderr if asked).
int RunCommand(const std::string& command, std::string* out = nullptr);

class TempRootTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string root_;
  // Linux path of a platform path under the root.
  std::string Linux(const char* platformPath);
  void SetDword(const char16_t* key, const char16_t* name, DWORD value);
  void SetString(const char16_t* key, const char16_t* name, const char16_t* text);
  bool GetDword(const char16_t* key, const char16_t* name, DWORD* value);
  std::u16string GetString(const char16_t* key, const char16_t* name);
};
