// Pictures of a drive through the driver: the true track, the receiver's fixes and the driver's
// outputs on a local metre grid, and the error of each over time, as one SVG file.
#pragma once
#include <string>
#include <vector>

struct LabPoint {
  double x, y;  // metres east and north of the start
};

// One line of positions at each read with its error against the truth (empty errors: no truth).
struct LabLine {
  std::string name;
  const char* colour;
  std::vector<LabPoint> points;
  std::vector<double> errors;
  double mean = 0, p95 = 0;
};

struct LabSeries {
  std::string title;
  std::vector<LabPoint> truth;  // empty when there is none
  LabLine raw;                  // the receiver's latest fix at each read, drawn as dots
  std::vector<LabLine> outputs; // the driver's, one line per setting
};

// Writes the picture; false when the file cannot be written.
bool WriteLabSvg(const std::string& path, const LabSeries& series);
