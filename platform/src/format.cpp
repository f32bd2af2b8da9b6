// printf with the platform's conventions. Each conversion is taken apart and handed to snprintf
// on its own, so that UTF-16 strings (%ls, %S) and 32-bit longs are read with the right type.
#include <cstdio>
#include <cstring>
#include <string>
#include "platform/format.h"
#include "platform/wide.h"

namespace {

struct Out {
  char* buf;
  size_t size;
  size_t len = 0;  // characters the full result needs
  void Put(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i, ++len)
      if (size && len < size - 1) buf[len] = s[i];
  }
};

}  // namespace

int PlatformVFormat(char* out, size_t size, const char* format, va_list args) {
  Out o{out, size};
  va_list ap;
  va_copy(ap, args);
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      const char* q = strchr(p, '%');
      size_t n = q ? static_cast<size_t>(q - p) : strlen(p);
      o.Put(p, n);
      p += n;
      continue;
    }
    // Collect one conversion: flags, width, precision, length, conversion character.
    std::string conversion = "%";
    ++p;
    while (*p && strchr("-+ #0", *p)) conversion += *p++;
    int width = -1, precision = -1;
    bool starWidth = false, starPrecision = false;
    if (*p == '*') {
      starWidth = true;
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') conversion += *p++;
    }
    if (*p == '.') {
      conversion += *p++;
      if (*p == '*') {
        starPrecision = true;
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') conversion += *p++;
      }
    }
    if (starWidth) width = va_arg(ap, int);
    if (starPrecision) precision = va_arg(ap, int);
    std::string length;
    while (*p && strchr("hlLqjzt", *p)) length += *p++;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      length = "ll";
      p += 3;
    }
    char conv = *p ? *p++ : '\0';
    if (conv == '\0') break;
    char tmp[512];
    std::string text;
    // Each conversion is handed to snprintf as a format of its own, rebuilt from the caller's
    // (whose arguments the compiler checked where the caller has the format attribute).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    auto render = [&](auto value, const char* cconv) {
      std::string f = "%";
      if (starWidth) f += '*';
      f.append(conversion, 1, std::string::npos);
      if (starPrecision) f += "*";  // the conversion already ends with '.'
      f += cconv;
      int n;
      if (starWidth && starPrecision) n = snprintf(tmp, sizeof tmp, f.c_str(), width, precision, value);
      else if (starWidth) n = snprintf(tmp, sizeof tmp, f.c_str(), width, value);
      else if (starPrecision) n = snprintf(tmp, sizeof tmp, f.c_str(), precision, value);
      else n = snprintf(tmp, sizeof tmp, f.c_str(), value);
      if (n >= static_cast<int>(sizeof tmp)) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        if (starWidth && starPrecision) snprintf(big.data(), big.size(), f.c_str(), width, precision, value);
        else if (starWidth) snprintf(big.data(), big.size(), f.c_str(), width, value);
        else if (starPrecision) snprintf(big.data(), big.size(), f.c_str(), precision, value);
        else snprintf(big.data(), big.size(), f.c_str(), value);
        o.Put(big.c_str(), static_cast<size_t>(n));
      } else if (n > 0) {
        o.Put(tmp, static_cast<size_t>(n));
      }
    };
#pragma GCC diagnostic pop
    switch (conv) {
      case '%':
        o.Put("%", 1);
        break;
      case 'd':
      case 'i':
        if (length == "ll" || length == "q" || length == "j") render(va_arg(ap, long long), "lld");
        else if (length == "z" || length == "t") render(va_arg(ap, ptrdiff_t), "td");
        else render(va_arg(ap, int), "d");  // h, hh, l: promoted int or the platform's 32-bit long
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        char ll[4] = {'l', 'l', conv, 0};
        char z[3] = {'z', conv, 0};
        if (length == "ll" || length == "q" || length == "j") render(va_arg(ap, unsigned long long), ll);
        else if (length == "z" || length == "t") render(va_arg(ap, size_t), z);
        else render(va_arg(ap, unsigned int), ll + 2);  // h, hh, l: 32 bits
        break;
      }
      case 'c':
        if (length == "l" || length == "L") render(static_cast<int>(va_arg(ap, int) & 0x7F), "c");
        else render(va_arg(ap, int), "c");
        break;
      case 'C':
        render(static_cast<int>(va_arg(ap, int) & 0x7F), "c");
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        char c[3] = {conv, 0, 0};
        if (length == "L") render(va_arg(ap, long double), (std::string("L") + conv).c_str());
        else render(va_arg(ap, double), c);
        break;
      }
      case 's':
        if (length == "l" || length == "L") {
          const WCHAR* w = va_arg(ap, const WCHAR*);
          text = w ? WideToUtf8(w) : "(null)";
          render(text.c_str(), "s");
        } else {
          const char* s = va_arg(ap, const char*);
          render(s ? s : "(null)", "s");
        }
        break;
      case 'S': {
        const WCHAR* w = va_arg(ap, const WCHAR*);
        text = w ? WideToUtf8(w) : "(null)";
        render(text.c_str(), "s");
        break;
      }
      case 'p':
        render(va_arg(ap, void*), "p");
        break;
      default:  // unknown conversion: print it as it stands
        o.Put(conversion.c_str(), conversion.size());
        o.Put(&conv, 1);
        break;
    }
  }
  va_end(ap);
  if (size) out[o.len < size ? o.len : size - 1] = '\0';
  return static_cast<int>(o.len);
}

