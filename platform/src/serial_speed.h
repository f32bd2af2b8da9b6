// Internal: termios speeds of the serial ports, and finding a receiver's speed.
#pragma once
#include <string>
#include <termios.h>
#include "platform/types.h"

// The termios speed of a baud rate (9600 for rates termios does not know).
speed_t SerialSpeedOf(DWORD baud);
// The speed at which a receiver on `fd` sends right NMEA sentences, or 0 when none does; the port
// is left at the last speed tried.
DWORD PlatformFindBaudRate(int fd, const std::string& device);
