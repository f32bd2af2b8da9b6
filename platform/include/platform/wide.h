// UTF-16 string helpers (WCHAR is char16_t, as on the platform).
#pragma once
#include <string>
#include "platform/types.h"

size_t WideLen(const WCHAR* s);
// Copies at most n-1 units and terminates; returns the units copied.
size_t WideCopy(WCHAR* dst, size_t n, const WCHAR* src);
int WideCompare(const WCHAR* a, const WCHAR* b);
WCHAR WideLower(WCHAR c);
std::string WideToUtf8(const WCHAR* s);
std::string WideToUtf8(const WCHAR* s, size_t units);
std::u16string Utf8ToWide(const char* s);
// Converts into a fixed buffer of n units, always terminated; returns units written.
size_t Utf8ToWide(const char* s, WCHAR* dst, size_t n);
