// Fuzzing the parser and the writer: arbitrary bytes as sentences into records, both readings
// (the strict one into one record; the default one with its cycles, as ferrox-decode reads),
// each record printed as a batch; and the first 344 bytes as a raw record printed as a batch.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include "port_driver/nmea_parser.h"
#include "port_driver/nmea_source.h"
#include <cstdio>
#include "support/nmea_check.h"
#include "support/nmea_writer.h"

// Every batch fits, and every sentence in it passes the written-sentence check.
static void PrintBatch(const FixRecord* fix) {
  char batch[kNmeaBatchSize], why[256];
  int n = MakeNmeaBatch(fix, batch, sizeof batch);
  if (n < 0 || static_cast<size_t>(n) >= sizeof batch || strlen(batch) != static_cast<size_t>(n)) abort();
  if (n > 0 && CheckNmeaBatch(batch, static_cast<size_t>(n), why, sizeof why) < 0) {
    fprintf(stderr, "written sentence fails the check: %s\n", why);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char text[8192];
  if (size >= sizeof text) size = sizeof text - 1;
  memcpy(text, data, size);
  text[size] = 0;
  static char lines[8192];
  memcpy(lines, text, size + 1);
  FixRecord fix{};
  for (char* line = text; line && *line;) {
    char* end = strpbrk(line, "\n");
    if (end) *end = 0;
    if (line[0] == '$') ParseNmeaSentence(line, &fix);
    line = end ? end + 1 : nullptr;
  }
  PrintBatch(&fix);
  NmeaSource source;
  NmeaSourceReset(&source, false);
  FixRecord cycle{};
  for (char* line = lines; line && *line;) {
    char* end = strpbrk(line, "\n");
    if (end) *end = 0;
    if (const char* sentence = NmeaSentenceIn(line)) {
      if (NmeaStartsNewCycle(&source, sentence)) {
        NmeaFinishCycle(&source, &cycle);
        PrintBatch(&cycle);
        cycle = FixRecord{};
      }
      NmeaParse(&source, sentence, &cycle);
    }
    line = end ? end + 1 : nullptr;
  }
  NmeaFinishCycle(&source, &cycle);
  PrintBatch(&cycle);
  if (size >= sizeof(FixRecord)) {
    FixRecord raw;
    memcpy(&raw, data, sizeof raw);
    PrintBatch(&raw);
  }
  return 0;
}
