// Suspend and resume of the Linux system, as systemd-logind announces them on the system bus
// (PrepareForSleep), passed to every loaded driver and service as PowerDown and PowerUp.
#pragma once
#include <string>

// Starts watching; without a system bus it logs one line and watches nothing. The bus is the
// system bus, or the one at $FERROX_SYSTEM_BUS (an address, for tests).
void StartPowerWatch();
void StopPowerWatch();
