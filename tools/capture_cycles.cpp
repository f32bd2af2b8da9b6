#include "capture_cycles.h"
#include <cstring>
#include "port_driver/nmea_framer.h"
#include "port_driver/nmea_parser.h"

int ReadCaptureCycles(FILE* in, bool strict, void (*onCycle)(const FixRecord& cycle, void* context), void* context) {
  // A file has no quiet port: its cycles end where the next one's time begins.
  NmeaFramer framer;
  NmeaFramerReset(&framer, strict, true);
  FixRecord fix{};
  int failed = 0;
  bool lineStart = true;
  for (bool end = false; !end;) {
    DWORD room;
    char* space = NmeaFramerSpace(&framer, &room);
    // A line at a time, so a pipe's lines are framed as they come. A line that begins with '#'
    // is the capture's comment, not the receiver's.
    DWORD got = 0;
    for (int c; got < room && (c = getc(in)) != EOF;) {
      if (c == '#' && lineStart) {
        while ((c = getc(in)) != EOF && c != '\n') {
        }
        continue;
      }
      space[got++] = static_cast<char>(c);
      lineStart = c == '\n';
      if (lineStart) break;
    }
    if (got == 0) {
      failed = ferror(in) ? 1 : 0;
      end = true;
      NmeaFramerEndInput(&framer);
    } else {
      NmeaFramerAdded(&framer, got);
    }
    for (;;) {
      NmeaFrame frame;
      NmeaFramerNext(&framer, &frame);
      if (frame.kind == FRAME_MORE) break;
      if (frame.kind == FRAME_CYCLE_END) {
        NmeaFinishCycle(&framer.source, &fix);
        onCycle(fix, context);
        memset(&fix, 0, sizeof fix);
      } else if (frame.sentence) {
        NmeaParse(&framer.source, frame.sentence, &fix);
      }
    }
  }
  if (framer.source.haveData) {
    NmeaFinishCycle(&framer.source, &fix);
    onCycle(fix, context);
  }
  return failed;
}
