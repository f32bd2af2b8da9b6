// Internal: the phone's sensors as the sensor thread reads them, and the compass average.
#pragma once
#include "port_driver/sensors.h"

// The average: one step of the sensor thread, the compass result for a fix, and the thread's
// state changes (sample counts: -4 compass off, -3 starting, -2 no hardware, -1 no sample yet).
void SampleSensors();
void CompassResult(BYTE* orientation, double* heading);
void SetSampleCount(LONG count);
// The tick the next sample is due at (0 none), taken by the thread.
DWORD TakeNextSampleDue();
void ResetSensorAverage();

// The sensor settings as the sensor thread sees them: published from g_System and g_Profile by
// whoever loaded them (the thread's start, a reload), read as one copy.
struct SensorSettings {
  DWORD PollRate, NumAvg, CompassAngle, AutoEnable, AutoAngle, CurrentProfile, EnableCompass, SleepTime, EnableSmooth;
};
void PublishSensorSettings();
SensorSettings SensorSettingsNow();
// The profile the tilt asked for, now the current one.
void PublishSensorProfile(DWORD profile);
