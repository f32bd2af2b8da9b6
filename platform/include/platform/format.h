// printf-style formatting with the platform's conventions: %ls and %S take UTF-16 strings
// (written as UTF-8), and the l length modifier on integers means 32 bits.
#pragma once
#include <cstdarg>
#include <cstddef>

int PlatformVFormat(char* out, size_t size, const char* format, va_list args);
