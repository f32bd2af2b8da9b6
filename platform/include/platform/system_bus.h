// The system D-Bus, or the bus a test names in FERROX_SYSTEM_BUS.
#pragma once
#include <systemd/sd-bus.h>

// A connection of its own for the caller (unref it when done); null when there is no bus.
sd_bus* PlatformOpenSystemBus();
