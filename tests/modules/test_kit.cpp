// A module for the tests, loaded as "FerroxTestKit.dll" by the test process or by frxd: it uses
// the platform from inside a module (events, last error) and is a small service "TSV".
#include <cstring>
#include <unistd.h>
#include "platform/platform.h"

namespace {
constexpr DWORD kKeyContext = 0x51;  // what Init gives when started from a registry key
constexpr DWORD IOCTL_KIT_WHO = 0x00220004;
}  // namespace

extern "C" {

BOOL Kit_SignalEvent(HANDLE event) { return SetEvent(event); }
HANDLE Kit_CreateEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
BOOL Kit_FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Started from Services\<name> the context is the active key; from RegisterService, the
// caller's value.
DWORD TSV_Init(LPCWSTR context, const void*) {
  uintptr_t value = reinterpret_cast<uintptr_t>(context);
  return value > 0 && value < 0x10000 ? static_cast<DWORD>(value) : kKeyContext;
}
BOOL TSV_Deinit(DWORD) { return TRUE; }
DWORD TSV_Open(DWORD context, DWORD, DWORD) { return context + 1; }
BOOL TSV_Close(DWORD) { return TRUE; }
// Answers the serving process's id and the context the call reached.
BOOL TSV_IOControl(DWORD context, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outLength, DWORD* actual) {
  if (code != IOCTL_KIT_WHO || !out || outLength < 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD who[2] = {static_cast<DWORD>(getpid()), context};
  memcpy(out, who, sizeof who);
  if (actual) *actual = sizeof who;
  return TRUE;
}
}
