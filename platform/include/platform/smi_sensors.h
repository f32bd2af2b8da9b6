// The other phone maker's sensor library ("SamsungMobilesdk_2.dll"): three calls, each
// returning SMI_SUCCESS (0) when it answered.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SMI_SUCCESS = 0;

// The device's orientation as the library names it (mapped to the driver's codes by the driver).
enum SmiOrientationState : int {
  SMI_ORIENTATION_FLAT = 0, SMI_ORIENTATION_FACE_DOWN = 1, SMI_ORIENTATION_LEFT_UP = 2,
  SMI_ORIENTATION_RIGHT_UP = 3, SMI_ORIENTATION_PORTRAIT = 4, SMI_ORIENTATION_UPSIDE_DOWN = 5,
};

// The compass's answer: heading, pitch and roll in degrees and an accuracy (higher is better).
struct Smi3DPosition {
  int16_t Heading, Pitch, Roll;
  uint16_t Accuracy;
};
static_assert(sizeof(Smi3DPosition) == 8);
static_assert(offsetof(Smi3DPosition, Accuracy) == 6);

typedef int (*PFN_SmiIsPhoneSupported)();
typedef int (*PFN_SmiOrientationGetState)(int* state);
typedef int (*PFN_Smi3DOrientationGetPosition)(Smi3DPosition* position);
