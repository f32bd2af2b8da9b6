#include "port_driver/nmea_framer.h"
#include <cstring>

namespace {

bool LineEnd(char c) { return c == '\r' || c == '\n' || c == 0; }

// Drops the first n bytes held.
void Consume(NmeaFramer* f, DWORD n) {
  memmove(f->bytes, f->bytes + n, f->length - n);
  f->length -= n;
}

// The offset of the first '$' whose line is complete and short enough, dropping what comes
// before it and every '$' whose line can never be a sentence; -1 when more bytes are needed.
// *lineLength is the line's length from its '$' to its end.
int NextLine(NmeaFramer* f, DWORD* lineLength) {
  DWORD p = 0;
  for (;;) {
    while (p < f->length && f->bytes[p] != '$') ++p;
    if (p >= f->length) {
      f->length = 0;
      return -1;
    }
    DWORD stop = p;
    while (stop < f->length && !LineEnd(f->bytes[stop])) ++stop;
    if (stop >= f->length) {
      if (f->length - p >= kFramerLine) {  // longer than any sentence: no sentence starts here
        ++p;
        continue;
      }
      Consume(f, p);  // the partial line waits for its end
      return -1;
    }
    Consume(f, p);
    *lineLength = stop - p;
    return 0;
  }
}

}  // namespace

void NmeaFramerReset(NmeaFramer* f, bool strict, bool splitCycles) {
  memset(f, 0, sizeof *f);
  NmeaSourceReset(&f->source, strict);
  f->splitCycles = splitCycles;
}

char* NmeaFramerSpace(NmeaFramer* f, DWORD* room) {
  *room = kFramerBuffer - f->length;
  return f->bytes + f->length;
}

void NmeaFramerAdded(NmeaFramer* f, DWORD n) {
  if (n > kFramerBuffer - f->length) n = kFramerBuffer - f->length;
  f->length += n;
}

DWORD NmeaFramerPush(NmeaFramer* f, const char* bytes, DWORD n) {
  DWORD room;
  char* to = NmeaFramerSpace(f, &room);
  if (n > room) n = room;
  memcpy(to, bytes, n);
  f->length += n;
  return n;
}

bool NmeaFramerHasLine(const NmeaFramer* f) {
  const char* dollar = static_cast<const char*>(memchr(f->bytes, '$', f->length));
  if (!dollar) return false;
  for (const char* p = dollar; p < f->bytes + f->length; ++p)
    if (LineEnd(*p)) return true;
  return false;
}

void NmeaFramerEndInput(NmeaFramer* f) {
  if (f->length > 0 && f->length < kFramerBuffer && !LineEnd(f->bytes[f->length - 1])) f->bytes[f->length++] = '\n';
}

void NmeaFramerNext(NmeaFramer* f, NmeaFrame* out) {
  *out = NmeaFrame{FRAME_MORE, nullptr, 0};
  DWORD length;
  while (NextLine(f, &length) == 0) {
    DWORD end = length;
    while (end < f->length && LineEnd(f->bytes[end])) ++end;
    if (length > kFramerLine - 3) {  // longer lines are not NMEA
      Consume(f, end);
      f->boundaryGiven = false;
      continue;
    }
    memcpy(f->line, f->bytes, length);
    memcpy(f->line + length, "\r\n", 3);
    // The default reading skips damaged sentences; strict reading leaves them to the parser.
    const char* sentence = f->source.strict ? f->line : NmeaSentenceIn(f->line);
    if (sentence && f->splitCycles && !f->boundaryGiven && NmeaStartsNewCycle(&f->source, sentence)) {
      f->boundaryGiven = true;
      out->kind = FRAME_CYCLE_END;
      return;
    }
    f->boundaryGiven = false;
    Consume(f, end);
    *out = NmeaFrame{FRAME_LINE, sentence, length + 2};
    return;
  }
}
