// The GPS Intermediate Driver's device "GPD0:": one I/O control (3000) carries a GPS API call as a
// message of an operation, a context and the call's arguments. On this 64-bit system every
// argument has an 8-byte slot (a pointer would not fit the platform's 4 bytes); the reserved word
// is zero. The device is the platform's: it serves the calls from the platform GPS library
// ("gpsapiOrig.dll") in the calling process, writing the answers through the pointers passed.
#pragma once
#include <cstdint>
#include "platform/types.h"

constexpr DWORD IOCTL_GPSID_CALL = 3000;

enum : WORD {
  GPSID_OPEN_DEVICE = 1,         // new-location event, state event, name, flags, DWORD* handle
  GPSID_CLOSE_DEVICE = 2,        // handle
  GPSID_GET_POSITION = 3,        // handle, GPS_POSITION*, maximum age, flags
  GPSID_GET_DEVICE_STATE = 4,    // GPS_DEVICE*
  GPSID_GET_DEVICE_PARAM = 5,    // handle, parameter, data, DWORD* size
  GPSID_SET_DEVICE_PARAM = 6,    // handle, parameter, data, size
};

struct GpsidMessage {
  WORD operation;
  WORD reserved;
  DWORD context;
  uint64_t argument[5];
};
static_assert(sizeof(GpsidMessage) == 48);
static_assert(offsetof(GpsidMessage, context) == 4);
static_assert(offsetof(GpsidMessage, argument) == 8);

// The message size of an operation (its arguments only); 0 for an unknown one.
constexpr DWORD GpsidMessageSize(WORD operation) {
  constexpr DWORD kArguments[] = {0, 5, 1, 4, 1, 4, 4};
  return operation >= 1 && operation <= 6 ? 8 + 8 * kArguments[operation] : 0;
}
static_assert(GpsidMessageSize(GPSID_CLOSE_DEVICE) == 16);
static_assert(GpsidMessageSize(GPSID_OPEN_DEVICE) == 48);
