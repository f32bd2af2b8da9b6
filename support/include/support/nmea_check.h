// A check of written NMEA: each sentence well formed ("$", printable text, "*HH" CR LF, the right
// checksum) and every field the rule table knows within its rule. For tests and fuzzers of
// everything that prints sentences.
#pragma once
#include <cstddef>

// 1 when the sentence (`len` bytes, CR LF included) passes; else 0 with the reason in `why`.
int CheckNmeaSentence(const char* sentence, size_t len, char* why, size_t whySize);
// The sentences of a batch, one after another; returns how many, or -1 with the first fault.
int CheckNmeaBatch(const char* batch, size_t len, char* why, size_t whySize);
