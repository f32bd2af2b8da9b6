// Great-circle geometry on the sphere on which one minute of arc is 1852 m.
#pragma once

constexpr double EARTH_RADIUS_M = 6366707.019493707;
constexpr double DEG_TO_RAD = 0.017453292519943295;
constexpr double RAD_TO_DEG = 57.29577951308232;
constexpr double KMH_TO_MS = 0.2777777777777778;
constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;

// Initial true bearing (degrees) and distance (m) from point 1 to point 2 (radians, east positive).
void GreatCircle(double lat1, double lon1, double lat2, double lon2, double* bearing, double* distance);
// The point reached from (lat, lon) along `course` over the angular distance `d` (all radians).
void DestinationPoint(double lat, double lon, double course, double d, double* lat2, double* lon2);
// The midpoint of two directions, degrees.
double MeanAngle(double a, double b);
