// Moving a driver channel's sentences to a Linux program and its writes back (when allowed).
#pragma once
#include <string>
#include "platform/platform.h"

// Opens a channel of the device (null when the name is empty or the driver has none free).
HANDLE OpenChannel(const std::u16string& device);
// The most a channel read hands over at once.
constexpr DWORD kBatchBytes = 2048;
// Reads the next batch from the channel into `out`; false when the channel failed.
bool NextBatch(HANDLE channel, std::string* out);
// Reads what the program wrote on `fd` (never blocking) and hands it to the channel when
// `allowWrites`, dropping it otherwise; false when the program has gone.
bool DrainWrites(int fd, HANDLE channel, bool allowWrites);

// Hands `batch` to a program on the non-blocking `fd` whole or not at all: what of the last batch
// the program had no room for goes first, and a program too slow for both loses the new batch
// whole, never a part of a sentence. `pending` keeps the unsent rest; false on a write error.
bool OfferBatch(int fd, std::string* pending, const std::string& batch);
