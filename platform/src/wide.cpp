// UTF-16 helpers. Case folding covers ASCII and Latin-1, which is what key, value and file names
// on the platform use in practice.
#include "platform/wide.h"

size_t WideLen(const WCHAR* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

size_t WideCopy(WCHAR* dst, size_t n, const WCHAR* src) {
  if (!dst || n == 0) return 0;
  size_t i = 0;
  if (src)
    for (; i + 1 < n && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return i;
}

WCHAR WideLower(WCHAR c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<WCHAR>(c + 32);
  return c;
}

int WideCompare(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
    if (!*a) return 0;
  }
}

static void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string WideToUtf8(const WCHAR* s, size_t units) {
  std::string out;
  if (!s) return out;
  for (size_t i = 0; i < units; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // lone surrogate
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::string WideToUtf8(const WCHAR* s) { return WideToUtf8(s, WideLen(s)); }

std::u16string Utf8ToWide(const char* s) {
  std::u16string out;
  if (!s) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p) {
    char32_t c = *p;
    int extra = 0;
    if (c >= 0xF0 && c < 0xF8) {
      c &= 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      c &= 0x1F;
      extra = 1;
    } else if (c >= 0x80) {
      c = 0xFFFD;  // stray continuation byte
    }
    ++p;
    for (int i = 0; i < extra; ++i) {
      if ((*p & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (*p++ & 0x3F);
    }
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(c > 0x10FFFF ? u'\xFFFD' : static_cast<char16_t>(c));
    }
  }
  return out;
}

size_t Utf8ToWide(const char* s, WCHAR* dst, size_t n) {
  std::u16string w = Utf8ToWide(s);
  return WideCopy(dst, n, w.c_str());
}
