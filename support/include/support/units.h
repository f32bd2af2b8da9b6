// Unit conversions written once: speeds (the record keeps km/h, NMEA and the GPS API knots, gpsd
// metres a second). File-time units are in platform/time.h, angles in support/geodesy.h.
#pragma once

constexpr float kKmhPerKnot = 1.852f;
constexpr double kKnotsPerKmh = 0.5399568034557235;  // 1 / 1.852
// The same in single precision, as receivers multiply when they print $GPRMC.
constexpr float kKnotsPerKmhSingle = 0.5399568f;
constexpr double kKnotsPerMetrePerSecond = 1.943844;
