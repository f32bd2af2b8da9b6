// The device manager of the Linux system: drivers registered under Drivers\BuiltIn are loaded
// from their modules, initialised with an active key and registered as "<Prefix><Index>:".
#pragma once
#include "platform/platform.h"

HANDLE ActivateDeviceEx(LPCWSTR builtinKey, const void* registers, DWORD count, LPVOID context);
BOOL DeactivateDevice(HANDLE device);
// Activates every builtin driver whose Flags is 0; returns how many were activated.
int ActivateBuiltinDrivers();
void DeactivateAllDevices();
// The services manager: Services\<name> loaded as a service device, and its end.
HANDLE LoadService(LPCWSTR name, DWORD flags);
BOOL UnloadService(HANDLE service);
// Loads every service under Services with a Dll and Flags 0; returns how many.
int ActivateRegisteredServices();
// The device name ("COM8:") of the first activated driver, empty when none.
std::u16string FirstDeviceName();
