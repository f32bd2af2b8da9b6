// The check of written sentences.
#include "support/nmea_check.h"
#include <cstdio>
#include <cstring>
#include "support/nmea_rules.h"

namespace {

constexpr size_t kLongestSentence = 128;  // the driver's own longest line, CR LF included
constexpr int kMostFields = 40;

int Hex(char c) { return c >= '0' && c <= '9' ? c - '0' : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1); }

int Fail(char* why, size_t whySize, const char* sentence, size_t len, const char* reason) {
  if (whySize) snprintf(why, whySize, "%s: %.*s", reason, static_cast<int>(len > 100 ? 100 : len), sentence);
  return 0;
}

}  // namespace

int CheckNmeaSentence(const char* s, size_t len, char* why, size_t whySize) {
  if (len < 11 || s[0] != '$') return Fail(why, whySize, s, len, "no sentence");
  if (len > kLongestSentence) return Fail(why, whySize, s, len, "too long");
  if (s[len - 2] != '\r' || s[len - 1] != '\n' || s[len - 5] != '*')
    return Fail(why, whySize, s, len, "no *HH CR LF at the end");
  unsigned sum = 0;
  for (size_t i = 1; i < len - 5; ++i) {
    if (s[i] < 0x20 || s[i] > 0x7E || s[i] == '$' || s[i] == '*')
      return Fail(why, whySize, s, len, "a character no sentence holds");
    sum ^= static_cast<unsigned char>(s[i]);
  }
  int hi = Hex(s[len - 4]), lo = Hex(s[len - 3]);
  if (hi < 0 || lo < 0 || static_cast<unsigned>(hi * 16 + lo) != sum) return Fail(why, whySize, s, len, "wrong checksum");
  // The fields, split at the commas of the body.
  char body[kLongestSentence];
  memcpy(body, s, len - 5);
  body[len - 5] = 0;
  const char* fields[kMostFields];
  int count = 0;
  for (char* p = body; p && count < kMostFields;) {
    fields[count++] = p;
    p = strchr(p, ',');
    if (p) *p++ = 0;
  }
  char type[4];
  if (!NmeaTypeOf(fields[0], type)) return Fail(why, whySize, s, len, "no address");
  for (int i = 1; i < count; ++i) {
    int rule = NmeaRuleOf(type, i, count);
    if (NmeaFieldBreaks(rule, fields[i], true)) {
      char reason[80];
      snprintf(reason, sizeof reason, "field %d (%s) out of range: '%.16s'", i, NmeaRuleName(rule), fields[i]);
      return Fail(why, whySize, s, len, reason);
    }
  }
  return 1;
}

int CheckNmeaBatch(const char* batch, size_t len, char* why, size_t whySize) {
  int sentences = 0;
  size_t at = 0;
  while (at < len) {
    const char* end = static_cast<const char*>(memchr(batch + at, '\n', len - at));
    size_t n = end ? static_cast<size_t>(end - (batch + at)) + 1 : len - at;
    if (!CheckNmeaSentence(batch + at, n, why, whySize)) return -1;
    ++sentences;
    at += n;
  }
  return sentences;
}
