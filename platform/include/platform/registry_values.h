// One setting of HKEY_LOCAL_MACHINE read in one call, for the platform's own settings.
#pragma once
#include <string>
#include "platform/types.h"

// A REG_SZ value as UTF-8; `fallback` when the key, the value or its text is missing or empty.
std::string PlatformReadText(LPCWSTR keyPath, LPCWSTR name, const std::string& fallback = std::string());
// A REG_DWORD value; `fallback` when the key or the value is missing or of another type.
DWORD PlatformReadDword(LPCWSTR keyPath, LPCWSTR name, DWORD fallback);
