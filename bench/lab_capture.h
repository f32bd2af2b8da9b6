// The lab on a user's recorded capture: each read cycle arrives `latency` ms after its fix time,
// a program reads `readAt` ms later, and the driver's output with each setting is drawn (and
// compared with a truth track when one is given).
#pragma once
#include <string>
#include "platform/types.h"

// Truth: lines "YYYY-MM-DDThh:mm:ss.sssZ LAT LON" (as ferrox-sim --truth writes them). Writes
// the picture to `svgPath` (unless empty) and a summary to standard output; returns 0, or 1 with
// a message when an input cannot be read or holds no fix.
int RunCaptureLab(const std::string& capturePath, const std::string& truthPath, DWORD latency, DWORD readAt,
                  const std::string& svgPath);
