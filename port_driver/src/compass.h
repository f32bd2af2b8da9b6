// The compass reading the correction stage mixes into a fix.
#pragma once
#include "platform/types.h"
#include "support/fix_record.h"

// Orientation codes.
constexpr BYTE ORIENT_UNKNOWN = 0, ORIENT_RIGHT_LANDSCAPE = 1, ORIENT_LEFT_LANDSCAPE = 2, ORIENT_PORTRAIT = 3,
               ORIENT_INVERTED_PORTRAIT = 4, ORIENT_FACE_DOWN = 5, ORIENT_FLAT = 6;

// The latest compass result: orientation code and heading in degrees (-1.0 when none).
typedef void (*CompassReader)(BYTE* orientation, double* heading);
// Installs the sensor code's reader; null restores the reader of a device without a compass.
void SetCompassReader(CompassReader reader);
void ReadCompass(BYTE* orientation, double* heading);

// Mixes the compass heading into the record; returns 1 when a heading was applied.
int ApplyCompass(FixRecord* fix, float stationaryLimit);
