// What the reader does with one parsed read cycle: the input track log, DOP clamping, the
// source stamp and satellite clamp, the correction stage and the last known location.
#pragma once
#include "support/fix_record.h"

// Returns 1 when the cycle reached the correction stage.
int ProcessParsedFix(FixRecord* input);
// Stores a processed cycle's position, when it has a fix, as the last known location. The
// reader does it after waking the channels: the registry write is no part of a fix's way out.
void StoreFixPosition(const FixRecord* input);
// DOPs below 0.5 or above 5.0 (or not a number) become 1.0.
void ClampDops(FixRecord* fix);
