// The driver module: the library entry point does nothing and succeeds; the stream entry points
// come from the driver's static library, linked whole.
#include "port_driver/stream.h"

extern "C" BOOL DllMain(void*, DWORD, void*) { return TRUE; }
