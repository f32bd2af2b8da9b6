// The phone's sensor device "SEN0:": its I/O control codes and the layouts of their outputs.
#pragma once
#include <cstddef>
#include "platform/types.h"

constexpr DWORD IOCTL_SENSOR_READ_GSENSOR = 0x01000001u;
constexpr DWORD IOCTL_SENSOR_COMPASS_ON = 0x03000001u;
constexpr DWORD IOCTL_SENSOR_COMPASS_OFF = 0x03000002u;
constexpr DWORD IOCTL_SENSOR_READ_COMPASS = 0x03000003u;

// The G-sensor's reading: acceleration along the device's axes in thousandths of g. With the
// device upright in portrait Y is +1000; lying flat with the screen up Z is -1000; with its
// right side up X is +1000.
struct SensorGReading {
  int16_t X, Y, Z;
  int16_t Reserved[7];
};
static_assert(sizeof(SensorGReading) == 20);
static_assert(offsetof(SensorGReading, X) == 0 && offsetof(SensorGReading, Y) == 2 &&
              offsetof(SensorGReading, Z) == 4);

// The compass's reading: the magnetic field (unused here, zero) and the heading in whole degrees.
struct SensorCompassReading {
  int16_t Field[3];
  int16_t Heading;
};
static_assert(sizeof(SensorCompassReading) == 8);
static_assert(offsetof(SensorCompassReading, Heading) == 6);
