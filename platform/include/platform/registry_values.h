// One setting of HKEY_LOCAL_MACHINE read in one call, for the platform's own settings.
#pragma once
#include <string>
#include "platform/types.h"

// A REG_SZ value as UTF-8 (a REG_DWORD as its decimal text); `fallback` when the key, the value
// or its text is missing or empty, or of another type (then one line on standard error).
std::string PlatformReadText(LPCWSTR keyPath, LPCWSTR name, const std::string& fallback = std::string());
// A REG_DWORD value (a REG_SZ holding a whole number, "42" or "0x2A", as that number); `fallback`
// when the key or the value is missing, or of another type (then one line on standard error).
DWORD PlatformReadDword(LPCWSTR keyPath, LPCWSTR name, DWORD fallback);

// A whole number in text ("42", "0x2A"), within 32 bits: whether it is one, and its value.
bool PlatformNumberInText(const std::string& text, DWORD* out);
// True the first time in this process (its modules included) `what` is asked about: one line per
// setting mistake, however many modules read the setting.
bool PlatformFirstReport(const std::string& what);
