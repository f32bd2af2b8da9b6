// Splits NMEA text into read cycles as a serial receiver's bursts come: a new cycle starts at a
// $GPGGA or $GPRMC whose time field differs from the cycle's, or that repeats a type the cycle has.
#pragma once
#include <cstring>

class CycleSplitter {
 public:
  // True when `line` starts a new cycle (the caller closes the current one first).
  bool StartsNewCycle(const char* line) {
    bool gga = strncmp(line, "$GPGGA", 6) == 0, rmc = strncmp(line, "$GPRMC", 6) == 0;
    bool starts = false;
    if (gga || rmc) {
      char time[16];
      TimeText(line, time);
      bool repeated = gga ? seenGga_ : seenRmc_;
      starts = haveData_ && ((cycleTime_[0] && strcmp(time, cycleTime_) != 0) || repeated);
      if (starts) {
        seenGga_ = seenRmc_ = false;
        cycleTime_[0] = 0;
      }
      if (!cycleTime_[0]) strcpy(cycleTime_, time);
      (gga ? seenGga_ : seenRmc_) = true;
    }
    haveData_ = true;
    return starts;
  }
  bool HaveData() const { return haveData_; }

 private:
  static void TimeText(const char* line, char* out) {
    const char* p = strchr(line, ',');
    size_t n = 0;
    if (p)
      for (++p; *p && *p != ',' && *p != '*' && *p != '\r' && *p != '\n' && n < 15; ++p) out[n++] = *p;
    out[n] = 0;
  }
  bool haveData_ = false, seenGga_ = false, seenRmc_ = false;
  char cycleTime_[16] = "";
};
