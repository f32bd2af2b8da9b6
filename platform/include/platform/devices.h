// Stream devices (drivers and services) loaded in this process, module loading, power status.
#pragma once
#include "platform/types.h"

typedef DWORD (*PFN_Init)(LPCWSTR context, const void* busContext);
typedef BOOL (*PFN_Deinit)(DWORD context);
typedef DWORD (*PFN_Open)(DWORD context, DWORD access, DWORD share);
typedef BOOL (*PFN_Close)(DWORD openContext);
typedef DWORD (*PFN_Read)(DWORD openContext, LPVOID buffer, DWORD count);
typedef DWORD (*PFN_Write)(DWORD openContext, const void* buffer, DWORD count);
typedef DWORD (*PFN_Seek)(DWORD openContext, LONG amount, WORD type);
typedef BOOL (*PFN_IOControl)(DWORD openContext, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength,
                              DWORD* actual);
typedef void (*PFN_Power)(DWORD context);

// The ten entry points of a stream device, as XXX_Init ... XXX_PowerDown.
struct StreamEntryPoints {
  PFN_Init Init;
  PFN_Deinit Deinit;
  PFN_Open Open;
  PFN_Close Close;
  PFN_Read Read;
  PFN_Write Write;
  PFN_Seek Seek;
  PFN_IOControl IOControl;
  PFN_Power PowerUp;
  PFN_Power PowerDown;
};

// Registers an initialised device as "<prefix><index>:" (for example COM8: or TWK1:); CreateFileW
// then opens it. Returns a registration handle, or null (ERROR_ALREADY_EXISTS when the name is taken).
HANDLE PlatformRegisterDevice(LPCWSTR prefix, DWORD index, const StreamEntryPoints* entries, DWORD context,
                              BOOL isService);
BOOL PlatformDeregisterDevice(HANDLE registration);

// The host process serves its devices to others and never forwards a call to itself.
void PlatformSetHostProcess(bool host);

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength, LPDWORD returned,
                     LPVOID overlapped);

// Services manager calls: the handle of a running service ("TWK1:"), starting one by its
// Services\<name> key, registering a module as a service device, and ending a service (given the
// handle ActivateService or RegisterService returned, or a handle of the service itself).
HANDLE GetServiceHandle(LPCWSTR name, LPWSTR dllName, LPDWORD dllNameSize);
HANDLE ActivateService(LPCWSTR name, DWORD flags);
HANDLE RegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context);
BOOL DeregisterService(HANDLE service);
// Device manager calls: activating the driver registered under a key (its Flags decide: the
// no-load bit unloads what was loaded from the key, 0 loads it afresh), and deactivating it.
HANDLE ActivateDeviceEx(LPCWSTR builtinKey, const void* registers, DWORD count, LPVOID context);
BOOL DeactivateDevice(HANDLE device);
#define DEVFLAGS_UNLOAD 0x1u
#define DEVFLAGS_NOLOAD 0x4u

// The host (frxd) serves the device manager and services manager calls; every other process
// sends them to the host. Null removes them.
struct DeviceManagerCalls {
  HANDLE (*activateDevice)(LPCWSTR builtinKey);
  BOOL (*deactivateDevice)(HANDLE device);
  HANDLE (*activateService)(LPCWSTR name, DWORD flags);
  HANDLE (*registerService)(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context);
  BOOL (*deregisterService)(HANDLE service);  // what activateService or registerService gave
  HANDLE (*serviceOf)(LPCWSTR deviceName);    // the service serving "twk1:", null when none
};
void PlatformSetDeviceManager(const DeviceManagerCalls* calls);

// Modules: "X.dll" is a module registered in this process, else libX.so in FERROX_MODULE_DIR
// (default: the folder of the running program).
typedef struct HINSTANCE__* HMODULE;
typedef void* FARPROC;
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddressW(HMODULE module, LPCWSTR name);
BOOL FreeLibrary(HMODULE module);
// The ten entry points "<prefix>_Init" ... "<prefix>_PowerDown" of a loaded module; 1 when it
// has the four every stream device needs (Init, Deinit, Open, Close), the others may be null.
int PlatformStreamEntries(HMODULE module, LPCWSTR prefix, StreamEntryPoints* entries);
typedef FARPROC (*ModuleLookup)(const char* symbol);
// Registers a module of this process under a name such as u"gpsapiOrig.dll"; null removes it.
void PlatformRegisterModule(LPCWSTR name, ModuleLookup lookup);

struct SYSTEM_POWER_STATUS_EX {
  BYTE ACLineStatus;  // 0 offline, 1 online, 255 unknown
  BYTE BatteryFlag;
  BYTE BatteryLifePercent;
  BYTE Reserved1;
  DWORD BatteryLifeTime;
  DWORD BatteryFullLifeTime;
  BYTE Reserved2;
  BYTE BackupBatteryFlag;
  BYTE BackupBatteryLifePercent;
  BYTE Reserved3;
  DWORD BackupBatteryLifeTime;
  DWORD BackupBatteryFullLifeTime;
};
static_assert(sizeof(SYSTEM_POWER_STATUS_EX) == 24);
// From /sys/class/power_supply (FERROX_POWER=ac|battery overrides); FALSE when nothing answers.
BOOL GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL update);
