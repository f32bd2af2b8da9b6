// A recorded capture cut into the bursts its receiver sent, by the capture's own times: a burst
// runs from one time-tagged sentence to the next with another time, whatever a reader makes of it.
#pragma once
#include <string>
#include <vector>

struct ReplayBurst {
  std::string text;  // the burst's sentences, each ending in CR LF
  double gap;        // seconds to the next burst, by the capture's times
};

// The capture's bursts; gaps the times do not give (or give as more than 5 s) are `defaultGap`.
// *ok is false when the file cannot be read.
std::vector<ReplayBurst> ReadReplayBursts(const std::string& path, double defaultGap, bool* ok);
