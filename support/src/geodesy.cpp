#include "support/geodesy.h"
#include <cmath>

void GreatCircle(double lat1, double lon1, double lat2, double lon2, double* bearing, double* distance) {
  double dlon = lon1 - lon2;
  double a = std::sin((lat1 - lat2) / 2);
  a *= a;
  double b = std::sin(dlon / 2);
  b = b * b * std::cos(lat1) * std::cos(lat2);
  double c = 2 * std::asin(std::sqrt(b + a));
  *distance = c * EARTH_RADIUS_M;
  double t = std::fmod(std::atan2(std::sin(dlon) * std::cos(lat2),
                                  std::cos(lat1) * std::sin(lat2) - std::sin(lat1) * std::cos(lat2) * std::cos(dlon)),
                       TWO_PI);
  if (std::sin(dlon) > 0) t = TWO_PI - t;
  double deg = std::fabs(t * RAD_TO_DEG);
  *bearing = (deg >= 360 || std::isnan(deg)) ? 0 : deg;
}

void DestinationPoint(double lat, double lon, double course, double d, double* lat2, double* lon2) {
  *lat2 = std::asin(std::sin(lat) * std::cos(d) + std::cos(lat) * std::sin(d) * std::cos(course));
  if (std::cos(*lat2) == 0) {
    *lon2 = lon;
    return;
  }
  double w = -lon - std::asin(std::sin(course) * std::sin(d) / std::cos(*lat2));
  double m = std::fmod(w + PI, TWO_PI);
  if (m < 0) m += TWO_PI;
  *lon2 = -(m - PI);
}

double MeanAngle(double a, double b) {
  if (std::fabs(b - a) < 180) return (a + b) / 2;
  double m = (a + b) / 2 - 180;
  return m < 0 ? m + 360 : m;
}
