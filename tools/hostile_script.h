// A receiver that goes wrong on cue: phases of absurd fields and junk for ferrox-sim's --script.
#pragma once
#include <random>
#include <string>
#include <vector>

struct HostilePhase {
  std::string kind;  // good, speed-inf, speed-nan, sep-nan, lat-9999, gsa-mode-9, gsv-count, gsv-values, junk
  double seconds;
};

// "KIND:SECONDS,KIND:SECONDS,..."; false with a message for an unknown kind or a bad length.
bool ParseHostileScript(const std::string& text, std::vector<HostilePhase>* phases, std::string* error);
// The phase at `t` seconds after the start; "good" after the last one.
std::string HostilePhaseAt(const std::vector<HostilePhase>& phases, double t);
// The burst as the phase makes it: fields replaced (checksums right), or junk in its place.
std::string HostileBurst(const std::string& burst, const std::string& kind, std::mt19937_64& rng);
