#include "capture_cycles.h"
#include <cstdlib>
#include <cstring>
#include "port_driver/nmea_parser.h"
#include "port_driver/nmea_source.h"

int ReadCaptureCycles(FILE* in, bool strict, void (*onCycle)(const FixRecord& cycle, void* context), void* context) {
  FixRecord fix{};
  NmeaSource source;
  NmeaSourceReset(&source, strict);
  char line[4096];
  char* raw = nullptr;
  size_t rawSize = 0;
  ssize_t got;
  while ((got = getline(&raw, &rawSize, in)) >= 0) {
    const char* sentence = nullptr;
    if (strict) {
      if (raw[0] == '$') {
        size_t n = strnlen(raw, static_cast<size_t>(got));
        if (n > sizeof line - 1) n = sizeof line - 1;
        memcpy(line, raw, n);
        line[n] = 0;
        sentence = line;
      }
    } else {
      for (const char* p = raw; p < raw + got; ++p) {
        p = static_cast<const char*>(memchr(p, '$', static_cast<size_t>(raw + got - p)));
        if (!p) break;
        size_t n = 0;
        while (p + n < raw + got && p[n] != '\r' && p[n] != '\n' && p[n] != 0 && n < sizeof line - 3) ++n;
        memcpy(line, p, n);
        memcpy(line + n, "\r\n", 3);
        if (strchr(line, '*') && NmeaChecksumOk(line)) {
          sentence = line;
          break;
        }
      }
    }
    if (!sentence) continue;
    if (NmeaStartsNewCycle(&source, sentence)) {
      NmeaFinishCycle(&source, &fix);
      onCycle(fix, context);
      memset(&fix, 0, sizeof fix);
    }
    NmeaParse(&source, sentence, &fix);
  }
  free(raw);
  int failed = ferror(in) ? 1 : 0;
  if (source.haveData) {
    NmeaFinishCycle(&source, &fix);
    onCycle(fix, context);
  }
  return failed;
}
