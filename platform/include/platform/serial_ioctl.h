// The serial driver I/O control codes (device type 0x1B, buffered, any access), as the platform
// names them: the serial calls on a device's handle are these I/O controls.
#pragma once
#include "platform/types.h"

constexpr DWORD kSerialDeviceType = 0x001B0000;
constexpr DWORD SerialCode(DWORD function) { return kSerialDeviceType | (function << 2); }
// The function number of a serial code (0 for a code of another device type).
constexpr DWORD SerialFunction(DWORD code) {
  return (code & ~0x3FFCu) == kSerialDeviceType ? (code >> 2) & 0xFFF : 0;
}

enum : DWORD {
  SERIAL_SET_BREAK_ON = 1,
  SERIAL_SET_BREAK_OFF = 2,
  SERIAL_SET_DTR = 3,
  SERIAL_CLR_DTR = 4,
  SERIAL_SET_RTS = 5,
  SERIAL_CLR_RTS = 6,
  SERIAL_SET_XOFF = 7,
  SERIAL_SET_XON = 8,
  SERIAL_GET_WAIT_MASK = 9,
  SERIAL_SET_WAIT_MASK = 10,
  SERIAL_WAIT_ON_MASK = 11,
  SERIAL_GET_COMMSTATUS = 12,
  SERIAL_GET_MODEMSTATUS = 13,
  SERIAL_GET_PROPERTIES = 14,
  SERIAL_SET_TIMEOUTS = 15,
  SERIAL_GET_TIMEOUTS = 16,
  SERIAL_PURGE = 17,
  SERIAL_SET_QUEUE_SIZE = 18,
  SERIAL_IMMEDIATE_CHAR = 19,
  SERIAL_GET_DCB = 20,
  SERIAL_SET_DCB = 21,
  SERIAL_ENABLE_IR = 22,
  SERIAL_DISABLE_IR = 23,
};

constexpr DWORD IOCTL_SERIAL_GET_WAIT_MASK = SerialCode(SERIAL_GET_WAIT_MASK);
constexpr DWORD IOCTL_SERIAL_SET_WAIT_MASK = SerialCode(SERIAL_SET_WAIT_MASK);
constexpr DWORD IOCTL_SERIAL_WAIT_ON_MASK = SerialCode(SERIAL_WAIT_ON_MASK);
constexpr DWORD IOCTL_SERIAL_GET_COMMSTATUS = SerialCode(SERIAL_GET_COMMSTATUS);
constexpr DWORD IOCTL_SERIAL_GET_PROPERTIES = SerialCode(SERIAL_GET_PROPERTIES);
constexpr DWORD IOCTL_SERIAL_SET_TIMEOUTS = SerialCode(SERIAL_SET_TIMEOUTS);
constexpr DWORD IOCTL_SERIAL_GET_TIMEOUTS = SerialCode(SERIAL_GET_TIMEOUTS);
constexpr DWORD IOCTL_SERIAL_PURGE = SerialCode(SERIAL_PURGE);
constexpr DWORD IOCTL_SERIAL_GET_DCB = SerialCode(SERIAL_GET_DCB);
constexpr DWORD IOCTL_SERIAL_SET_DCB = SerialCode(SERIAL_SET_DCB);
static_assert(IOCTL_SERIAL_GET_DCB == 0x001B0050);
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x001B002C);
