// Angle helpers, in degrees.
#pragma once

// b - a folded into -180..180.
double AngleDifference(double a, double b);
// a + b folded into 0..360 (for inputs within one turn).
double AngleSum(double a, double b);
// 1 when the values differ by 0.1 or more, or the difference is not a number.
int AnglesDiffer(double a, double b);
