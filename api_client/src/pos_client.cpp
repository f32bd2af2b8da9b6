// The connection to "GPD0:" (opened on the first call, kept for the life of the process) and the
// messages of the six calls.
#include "api_client/pos_client.h"
#include <atomic>
#include "platform/gps_intermediate.h"
#include "platform/platform.h"

namespace {

struct Connection {
  std::atomic<HANDLE> handle{INVALID_HANDLE_VALUE};
  std::atomic<bool> opened{false};
  const WCHAR* device = u"GPD0:";
  DWORD code = IOCTL_GPSID_CALL;
  DWORD context = 0;
  ~Connection() {
    HANDLE h = handle.load();
    if (opened && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
} g_connection;

uint64_t Slot(const void* p) { return reinterpret_cast<uintptr_t>(p); }
uint64_t Slot(DWORD v) { return v; }

// Sends one message; 0, or the error of the open or of the call.
DWORD Send(WORD operation, std::initializer_list<uint64_t> arguments) {
  if (g_connection.handle.load() == INVALID_HANDLE_VALUE) {
    HANDLE h = CreateFileW(g_connection.device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      g_connection.opened = true;
      HANDLE expected = INVALID_HANDLE_VALUE;
      if (!g_connection.handle.compare_exchange_strong(expected, h)) CloseHandle(h);  // another thread won
    }
  }
  GpsidMessage m{};
  m.operation = operation;
  m.context = g_connection.context;
  int i = 0;
  for (uint64_t a : arguments) m.argument[i++] = a;
  if (DeviceIoControl(g_connection.handle.load(), g_connection.code, &m, GpsidMessageSize(operation), nullptr, 0,
                      nullptr, nullptr))
    return ERROR_SUCCESS;
  return GetLastError();
}

}  // namespace

extern "C" {

BOOL DllMain(void*, DWORD, void*) { return TRUE; }

HANDLE GPSOpenDevice(HANDLE newLocation, HANDLE stateChange, const WCHAR* name, DWORD flags) {
  DWORD handle = 0;
  if (Send(GPSID_OPEN_DEVICE, {Slot(newLocation), Slot(stateChange), Slot(name), Slot(flags), Slot(&handle)}) !=
      ERROR_SUCCESS)
    return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

DWORD GPSCloseDevice(HANDLE device) { return Send(GPSID_CLOSE_DEVICE, {Slot(device)}); }

DWORD GPSGetPosition(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD flags) {
  return Send(GPSID_GET_POSITION, {Slot(device), Slot(position), Slot(maxAge), Slot(flags)});
}

DWORD GPSGetDeviceState(GPS_DEVICE* device) { return Send(GPSID_GET_DEVICE_STATE, {Slot(device)}); }

DWORD GPSGetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD* size) {
  return Send(GPSID_GET_DEVICE_PARAM, {Slot(device), Slot(parameter), Slot(data), Slot(size)});
}

DWORD GPSSetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD size) {
  return Send(GPSID_SET_DEVICE_PARAM, {Slot(device), Slot(parameter), Slot(data), Slot(size)});
}

}  // extern "C"
