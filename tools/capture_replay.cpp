#include "capture_replay.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kLongestGap = 5.0;

// The time field of a sentence that carries one (GGA RMC GNS ZDA: field 1, GLL: field 5), as
// seconds of the day; -1 when the field is empty or not a time, -2 for a sentence without one.
double SentenceTime(const char* line) {
  if (strlen(line) < 7 || line[6] != ',') return -2;
  const char* type = line + 3;
  int field;
  if (!strncmp(type, "GGA", 3) || !strncmp(type, "RMC", 3) || !strncmp(type, "GNS", 3) || !strncmp(type, "ZDA", 3))
    field = 1;
  else if (!strncmp(type, "GLL", 3))
    field = 5;
  else
    return -2;
  const char* p = line;
  for (int i = 0; i < field && p; ++i) {
    p = strchr(p, ',');
    if (p) ++p;
  }
  if (!p || strlen(p) < 6) return -1;
  for (int i = 0; i < 6; ++i)
    if (p[i] < '0' || p[i] > '9') return -1;
  int hh = (p[0] - '0') * 10 + (p[1] - '0'), mm = (p[2] - '0') * 10 + (p[3] - '0');
  return hh * 3600 + mm * 60 + strtod(p + 4, nullptr);
}

}  // namespace

std::vector<ReplayBurst> ReadReplayBursts(const std::string& path, double defaultGap, bool* ok) {
  std::vector<ReplayBurst> bursts;
  std::vector<double> times;
  FILE* f = fopen(path.c_str(), "rb");
  *ok = f != nullptr;
  if (!f) return bursts;
  char line[4096];
  double current = -1;
  std::string tagged;  // the time-tagged sentences of the burst, to see a repeat without a time
  while (fgets(line, sizeof line, f)) {
    if (line[0] != '$') continue;  // comments and lines the receiver did not begin
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    double t = SentenceTime(l.c_str());
    std::string name = l.substr(0, 6) + " ";
    bool repeat = t > -2 && tagged.find(name) != std::string::npos;
    if (bursts.empty() || repeat || (t >= 0 && current >= 0 && t != current)) {
      bursts.push_back({"", defaultGap});
      times.push_back(t);
      current = t;
      tagged.clear();
    } else if (t >= 0 && current < 0) {
      current = times.back() = t;
    }
    if (t > -2) tagged += name;
    bursts.back().text += l + "\r\n";
  }
  fclose(f);
  for (size_t i = 0; i + 1 < bursts.size(); ++i) {
    double gap = times[i + 1] - times[i];
    if (times[i] >= 0 && times[i + 1] >= 0 && gap > 0 && gap <= kLongestGap) bursts[i].gap = gap;
  }
  return bursts;
}
