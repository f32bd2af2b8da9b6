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
