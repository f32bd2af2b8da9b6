#include "support/angles.h"
#include <cmath>

double AngleDifference(double a, double b) {
  double d = b - a;
  if (d < -180) return d + 360;
  if (d > 180) return d - 360;
  return d;
}

double AngleSum(double a, double b) {
  double s = a + b;
  if (s < 0) s += 360;
  if (s >= 360) s -= 360;
  return s;
}

int AnglesDiffer(double a, double b) {
  double d = std::fabs(a - b);
  return (std::isnan(d) || d >= 0.1) ? 1 : 0;
}
