// Events for Linux programs that use the GPS API from C.
#include "platform/platform.h"

extern "C" {

void* FerroxEventCreate() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

int FerroxEventWait(void* event, uint32_t ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0 ? 1 : 0; }

int FerroxEventFd(void* event) { return PlatformEventFd(event); }

void FerroxEventClose(void* event) { CloseHandle(event); }

}  // extern "C"
