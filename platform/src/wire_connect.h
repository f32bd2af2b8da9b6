// Connecting to the host's socket, and the remote calls built on it (used by devices.cpp and
// services.cpp; the host process never forwards to itself).
#pragma once
#include <string>
#include "platform/types.h"

// A connected socket to the host, or -1 when no host runs.
int WireConnect();

HANDLE RemoteOpenDevice(LPCWSTR name, DWORD access, DWORD share);
HANDLE RemoteServiceHandle(LPCWSTR name);
HANDLE RemoteActivateService(LPCWSTR name, DWORD flags);
HANDLE RemoteRegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context);
// For a handle of a remote service: asks the host to end it. -1 when the handle is not remote.
int RemoteDeregisterService(HANDLE service);
HANDLE RemoteActivateDevice(LPCWSTR key);
// For a handle RemoteActivateDevice returned: -1 when the handle is not one.
int RemoteDeactivateDevice(HANDLE device);
