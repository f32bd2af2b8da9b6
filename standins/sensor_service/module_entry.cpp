// The sensor service module: the library entry point does nothing and succeeds.
#include "sensor_device.h"

extern "C" BOOL DllMain(void*, DWORD, void*) { return TRUE; }
