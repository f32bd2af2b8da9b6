// Field text to numbers with the ranges the pages give.
#include "field_text.h"
#include <cctype>
#include <cstdio>
#include "settings_store/settings.h"

namespace {

// The digits of `text` between blanks, with an optional leading '-' when `allowSign`.
int DigitsOf(const char* text, bool allowSign, bool* negative, unsigned long long* magnitude) {
  while (*text == ' ' || *text == '\t') ++text;
  *negative = false;
  if (allowSign && (*text == '-' || *text == '+')) *negative = *text++ == '-';
  if (!isdigit(static_cast<unsigned char>(*text))) return 0;
  unsigned long long v = 0;
  while (isdigit(static_cast<unsigned char>(*text))) {
    v = v * 10 + static_cast<unsigned>(*text++ - '0');
    if (v > 0xFFFFFFFFull) return 0;
  }
  while (*text == ' ' || *text == '\t') ++text;
  if (*text) return 0;
  *magnitude = v;
  return 1;
}

void Refuse(const PageLayout& page, PageState* state, WORD id, long long low, long long high, const char* unit) {
  char why[96];
  snprintf(why, sizeof why, "a whole number from %lld to %lld%s%s is needed", low, high, unit[0] ? " " : "", unit);
  MarkInvalid(page, state, id, why);
}

}  // namespace

int ParseUnsignedText(const char* text, DWORD low, DWORD high, DWORD* value) {
  bool negative;
  unsigned long long v;
  if (!DigitsOf(text, false, &negative, &v) || v < low || v > high) return 0;
  *value = static_cast<DWORD>(v);
  return 1;
}

int ParseSignedText(const char* text, LONG low, LONG high, LONG* value) {
  bool negative;
  unsigned long long v;
  if (!DigitsOf(text, true, &negative, &v)) return 0;
  long long s = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  if (s < low || s > high) return 0;
  *value = static_cast<LONG>(s);
  return 1;
}

void ReadUnsignedField(const PageLayout& page, PageState* state, WORD id, DWORD low, DWORD high, DWORD* setting) {
  if (!ParseUnsignedText(ControlText(page, *state, id), low, high, setting)) Refuse(page, state, id, low, high, "");
}

void ReadSignedField(const PageLayout& page, PageState* state, WORD id, LONG low, LONG high, LONG* setting) {
  if (!ParseSignedText(ControlText(page, *state, id), low, high, setting)) Refuse(page, state, id, low, high, "");
}

void ReadTenthsField(const PageLayout& page, PageState* state, WORD id, DWORD low, DWORD high, double* setting) {
  DWORD tenths;
  if (ParseUnsignedText(ControlText(page, *state, id), low, high, &tenths)) *setting = FromTenths(tenths);
  else Refuse(page, state, id, low, high, "tenths");
}

void ShowTenthsField(const PageLayout& page, PageState* state, WORD id, double setting) {
  SetControlText(page, state, id, "%.0f", setting * 10);
}
