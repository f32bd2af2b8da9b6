// The device manager and services manager of the Linux system: drivers registered under
// Drivers\BuiltIn and services under Services are loaded from their modules, initialised and
// registered as "<Prefix><Index>:". The platform's ActivateDeviceEx, ActivateService,
// RegisterService and their ends reach these, from this process and (through the host socket)
// from every other.
#pragma once
#include <string>
#include "platform/platform.h"

// Installs the calls above as the platform's device manager of this process.
void InstallDeviceManager();
// Activates every builtin driver whose Flags is 0; returns how many were activated.
int ActivateBuiltinDrivers();
// Loads every service under Services with a Dll and Flags 0; returns how many.
int ActivateRegisteredServices();
void DeactivateAllDevices();
// Calls every loaded driver's and service's PowerUp (or PowerDown).
void PowerAllDevices(bool up);
// The device name ("COM8:") of the driver activated from `builtinKey`, empty when none.
std::u16string DeviceNameOf(LPCWSTR builtinKey);
// Removes Drivers\Active entries that no activation of this process owns (left by a killed host).
int RemoveStaleActiveKeys();
