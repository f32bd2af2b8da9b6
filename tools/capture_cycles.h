// A recorded receiver capture read through the framer the driver reads a serial receiver with:
// sentences found on each line, grouped into read cycles, each cycle decoded into one record.
#pragma once
#include <cstdio>
#include "support/fix_record.h"

// Calls `onCycle` with each cycle's record, in order. Strict: each line from its first '$'.
// Default: the first sentence on a line with a right checksum (binary data or a cut-off
// sentence may come before it). Lines that begin with '#' are the capture's comments. Returns 0, or 1 when the input could not be read.
int ReadCaptureCycles(FILE* in, bool strict, void (*onCycle)(const FixRecord& cycle, void* context), void* context);
