#include "platform/system_bus.h"
#include <cstdlib>

sd_bus* PlatformOpenSystemBus() {
  const char* address = getenv("FERROX_SYSTEM_BUS");
  sd_bus* bus = nullptr;
  if (!address || !*address) return sd_bus_open_system(&bus) >= 0 ? bus : nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return bus;
}
