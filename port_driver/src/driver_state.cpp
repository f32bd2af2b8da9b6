#include "port_driver/driver_state.h"

DriverState g_Driver = {0, 0, PORT_NONE, PORT_NONE, PORT_NONE, {}, {}, 0, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, 0, 0, 0};
