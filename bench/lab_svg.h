// Pictures of a drive through the driver: the true track, the receiver's fixes and the driver's
// output on a local metre grid, and the error of each over time, as one SVG file.
#pragma once
#include <string>
#include <vector>

struct LabPoint {
  double x, y;  // metres east and north of the start
};

struct LabSeries {
  std::string title;
  std::vector<LabPoint> truth, raw, corrected;  // at each read
  std::vector<double> rawError, correctedError;
  double rawMean, rawP95, correctedMean, correctedP95;
};

// Writes the picture; false when the file cannot be written.
bool WriteLabSvg(const std::string& path, const LabSeries& series);
