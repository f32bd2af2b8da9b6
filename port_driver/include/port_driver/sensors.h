// The phone's sensors as the driver reads them: the maker library, else the sensor device SEN0:.
#pragma once
#include "platform/types.h"

// One reading: heading in degrees (valid when HeadingRead), pitch and roll in degrees, and the
// orientation code (ORIENT_* of port_driver/compass.h).
struct SensorReading {
  LONG Heading, Pitch, Roll, Orientation;
  LONG HeadingRead;
};

// Capability bits.
constexpr LONG SENSOR_ORIENTATION = 0x1, SENSOR_COMPASS = 0x2;

// Orientation, pitch and roll of a G-sensor reading (thousandths of g); `compassAngle` is the
// tilt in degrees beyond which an axis counts as pointing down.
void OrientationFromGravity(int x, int y, int z, DWORD compassAngle, SensorReading* r);

// The sensor device: 0 when at least one capability works.
int OpenSensors();
void CloseSensors();
// 0 with a reading, 1 without. A device that is gone is closed and opened again later, each
// failed opening waiting twice as long as the one before (up to kSensorReopenMaxMs).
int ReadSensors(SensorReading* r);
constexpr DWORD kSensorReopenMaxMs = 10000;
LONG SensorCapabilities();
// How often the device was opened since the driver was loaded (for tests).
LONG SensorOpenCount();

// The name of an orientation code ("UnKn", "RLand", "LLand", "Port", "IPort", "FDown", "Flat",
// "Err" for any other).
const char* OrientationName(LONG code);
