// Bytes from a receiver in, whole sentences and cycle boundaries out: the one way bytes become
// the sentences of a cycle, for the driver's serial reading, the decoder and the lab alike. The
// framer keeps a partial line, and the lines of the next cycle that came with the end of the last
// one, until the next bytes arrive.
#pragma once
#include "port_driver/nmea_source.h"

// Bytes the framer holds: one read of the port plus what it carried.
constexpr DWORD kFramerBuffer = 1024;
// A line with its CR LF and end: longer lines are not NMEA and are dropped.
constexpr DWORD kFramerLine = 128;

enum NmeaFrameKind {
  FRAME_MORE = 0,       // no whole line held: give it more bytes
  FRAME_LINE = 1,       // one line taken; `sentence` is its sentence or null (none, or damaged)
  FRAME_CYCLE_END = 2,  // the next line begins a new cycle: finish the cycle, then ask again
};

struct NmeaFrame {
  int kind;
  const char* sentence;  // valid until the next call; ends in CR LF
  DWORD lineBytes;       // the line's length with CR LF, whether or not it held a sentence
};

struct NmeaFramer {
  NmeaSource source;   // the cycle state the parser keeps for this receiver
  bool splitCycles;    // report where a cycle begins by its time (a file has no quiet port)
  bool boundaryGiven;  // the held line's boundary was reported: it is taken next
  DWORD length;
  char bytes[kFramerBuffer];
  char line[kFramerLine];
};

// Strict reading takes every line from its '$' as the sentence and splits cycles at $GP GGA/RMC
// only; the default reading takes the first checksummed sentence of a line.
void NmeaFramerReset(NmeaFramer* f, bool strict, bool splitCycles);
// Where the next received bytes go and how many fit; NmeaFramerAdded counts those written there.
char* NmeaFramerSpace(NmeaFramer* f, DWORD* room);
void NmeaFramerAdded(NmeaFramer* f, DWORD n);
// Copies up to n bytes in; returns how many it took.
DWORD NmeaFramerPush(NmeaFramer* f, const char* bytes, DWORD n);
// The next line held, or where a cycle ends. The parse is the caller's (NmeaParse with
// f->source), so the cycle state seen by the next boundary is the parsed one.
void NmeaFramerNext(NmeaFramer* f, NmeaFrame* out);
// True when a whole line is held: the next cycle has begun with no new bytes needed.
bool NmeaFramerHasLine(const NmeaFramer* f);
// At the end of a file: a last line without its line end is a line.
void NmeaFramerEndInput(NmeaFramer* f);
