// Internal: the geoid lookup state and the per-port altitude determination.
#pragma once
#include "support/fix_record.h"

struct PortAltitude {
  signed char type;
  unsigned char haveReference;
  unsigned char redetect;  // a refresh re-determines the type while the one found still applies
  double referenceAltitude;
  double referenceSeparation;
};

struct GeoidState {
  signed char cache[81];
  long origin;
  float separation;
  unsigned char refreshCounter;
  PortAltitude ports[10];
};

extern GeoidState g_Geoid;
