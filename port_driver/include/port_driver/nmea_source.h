// What the parser keeps for one receiver beyond a single sentence: where its cycles begin, which
// talker's solution a cycle follows, the used satellites of several GSA and the sky of several
// GSV merged, and the fix type and DOPs of a receiver that sends GSA rarely or never.
//
// In strict mode only the $GP talker is understood and a record is what the sentences of the
// cycle make of it, nothing more; a receiver that sends $GP GGA, RMC and GSA in every cycle gives
// the same record in both modes.
#pragma once
#include <cstdint>
#include "support/fix_record.h"

// Satellites one cycle may report over all its constellations.
constexpr int kMaxSky = 64;
// Cycles a receiver that sends GSA only now and then keeps its last fix type and DOPs.
constexpr int kGsaKeepCycles = 5;
// Sentence types read in the default mode: GGA RMC GSA GSV VTG GLL GNS ZDA.
constexpr int kNmeaTypes = 8;

struct SkySatellite {
  DWORD prn, elevation, azimuth, snr;
};

struct NmeaSource {
  bool strict;
  // The cycle being read.
  bool haveData;
  char cycleTime[16];       // time field of the cycle's first time-tagged sentence
  uint16_t seen[kNmeaTypes];  // per sentence type, a bit per talker seen in this cycle
  int solutionTalker;       // talker whose GGA/RMC/GNS/GLL the record follows; -1 none yet
  int gsaCount;
  bool gsaModeGiven;        // a GSA of the cycle gave a fix mode within its rule
  int gsaDopTalker;         // talker of the GSA whose DOPs the record has
  DWORD used[kMaxSky];      // union of the used satellites of the cycle's GSA
  int usedCount;
  SkySatellite sky[kMaxSky];  // the cycle's satellites in view, every constellation
  int skyCount;
  int gsvGroups;            // GSV groups begun in this cycle (message 1 seen)
  int gsvTalker, gsvSignal; // talker and signal id of the last group begun
  bool mergedSky;           // more than the single $GP group: the record's sky is rebuilt
  bool altitudeGiven;       // GGA or GNS carried an altitude
  bool rmcFix;              // RMC status A
  char rmcMode;             // RMC mode indicator (NMEA 2.3), 0 when absent
  bool gllFix;              // GLL status A
  // Across cycles.
  uint16_t lastSeen[kNmeaTypes];  // the sentences of the previous cycle
  bool haveLast;
  SYSTEMTIME lastTime;      // the last cycle with a date, to date the cycles that have none
  bool haveDate;
  int cyclesSinceGsa;       // -1: no GSA seen yet
  DWORD lastFixType, lastSelection;
  float lastPdop, lastHdop, lastVdop;
};

void NmeaSourceReset(NmeaSource* source, bool strict);
// True when the line's checksum (if it has one) is right.
bool NmeaChecksumOk(const char* line);
// The first '$' of `text` that begins a sentence with a right checksum (binary data of the
// receiver may come before it on the same line), or null.
const char* NmeaSentenceIn(const char* text);
// True when the sentence shows a receiver at work: a talker and type the reader knows, a right
// checksum (when it has one) and no field that breaks its rule. An empty time is life (a receiver
// without a fix yet); junk that only looks like NMEA is not.
bool NmeaSentenceAlive(const char* line);
// True when `line` begins the next cycle: a time-tagged sentence whose time differs from the
// cycle's, or one that repeats a time-tagged sentence the cycle already has.
bool NmeaStartsNewCycle(const NmeaSource* source, const char* line);
// Parses one sentence into the cycle's record (a line that starts a new cycle: after
// NmeaFinishCycle).
void NmeaParse(NmeaSource* source, const char* line, FixRecord* fix);
// True when the cycle has had every sentence of the previous cycle and a position: the burst is
// over even when the receiver sends no GSA or GSV.
bool NmeaCycleLooksComplete(const NmeaSource* source, const FixRecord* fix);
// Completes the record at the end of its cycle (fix type, quality and DOPs the receiver left
// out) and makes the source ready for the next cycle.
void NmeaFinishCycle(NmeaSource* source, FixRecord* fix);
