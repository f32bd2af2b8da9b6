// The ModemManager radio: not yet connected to the bus.
#include "radio_instance.h"

namespace platform {

bool ModemRadioOpen(RadioInstance*) { return false; }
bool ModemRadioPump(RadioInstance*) { return false; }
void ModemRadioClose(RadioInstance*) {}

}  // namespace platform
