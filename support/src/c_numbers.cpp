// Locale-independent number formatting and parsing through a C locale object.
#include "support/c_numbers.h"
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace {

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

}  // namespace

int FormatCNumber(char* out, size_t size, const char* format, double value) {
  locale_t previous = uselocale(CLocale());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // callers pass one conversion of a double
  int n = snprintf(out, size, format, value);
#pragma GCC diagnostic pop
  uselocale(previous);
  return n;
}

double ParseCDouble(const char* text, char** end) { return strtod_l(text, end, CLocale()); }

float ParseCFloat(const char* text, char** end) { return strtof_l(text, end, CLocale()); }
