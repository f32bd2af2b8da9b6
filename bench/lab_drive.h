// The lab's drives: synthetic tracks, the receiver that reports them late and noisy, and one run
// of a drive through the driver's processing with its clock under control.
#pragma once
#include <vector>
#include "lab_svg.h"
#include "support/fix_record.h"

struct Track {
  const char* name;
  std::vector<double> x, y, vx, vy;  // metres east and north, m/s, every kTrackStep s
  double duration;                   // s
  bool moving;                       // the goal for it is the moving one
};

// Straight and curves at 50 km/h, stop and go, walking, standing.
std::vector<Track> LabTracks();

// A profile setting under test: the "Driving" defaults with these values.
struct LabSetting {
  const char* name;
  const char* colour;
  DWORD lagAdvance, honestStill, autoLag, smooth;
};
extern const LabSetting kDefaultsSetting;  // LagAdvance 1500, as shipped
extern const LabSetting kNewSetting;       // HonestStill and AutoLag
extern const LabSetting kSmoothSetting;    // HonestStill, AutoLag and Smooth

// The "Driving" defaults with the setting's values, as the current profile.
void ApplyLabSetting(const LabSetting& setting);

// One cycle through the driver: it arrives `latencyMs` after its fix time (the driver's clock put
// on the fix time, as the clock check does; the measured-latency mode sees the true arrival), and
// a program reads `readAtMs` later. `started` is false for the first cycle of a run.
FixRecord LabFeedAndRead(const FixRecord& cycle, DWORD latencyMs, DWORD readAtMs, bool* started);

struct LabCase {
  const Track* track;
  bool markov;     // noise: first-order Gauss-Markov (30 s) instead of white
  DWORD latency;   // ms the receiver reports after its fix epoch
  DWORD readAt;    // ms after each arrival a program reads
};

struct Stats {
  double mean = 0, p95 = 0;
};
Stats Summarise(std::vector<double> errors);

struct LabResult {
  Stats raw, out;
  double floor = 0;  // the receiver's own noise: its mean error at each fix's epoch (no latency)
};

// One drive with one setting, `runs` noise draws (seeds `seed` on) taken together; with
// `picture`, the first draw's truth and receiver (once) and this setting's output line are added.
LabResult RunCase(const LabCase& c, const LabSetting& setting, unsigned seed, LabSeries* picture = nullptr,
                  int runs = 1);

// Metres east and north of `lat0`, `lon0`.
LabPoint LocalMetres(double lat, double lon, double lat0, double lon0);
