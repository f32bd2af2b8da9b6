// The service module: the library entry point does nothing and succeeds; the stream entry points
// come from the service's static library, linked whole.
#include "cell_service/service_entry.h"

extern "C" BOOL DllMain(void*, DWORD, void*) { return TRUE; }
