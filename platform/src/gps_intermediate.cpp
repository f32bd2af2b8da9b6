// "GPD0:" in every process that opens it: the GPS Intermediate Driver stand-in, serving each call
// message from the platform GPS library of this process.
#include "platform/gps_intermediate.h"
#include <cstring>
#include <mutex>
#include "platform/devices.h"
#include "platform/gps_api.h"
#include "platform/kernel.h"

namespace {

struct Library {
  HMODULE module;
  GpsApiCalls calls;
};

std::mutex g_lock;
Library g_library;

const Library* Platform() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_library.module) return &g_library;
  HMODULE m = LoadLibraryW(u"gpsapiOrig.dll");
  if (!m) return nullptr;
  Library l{};
  l.module = m;
  if (!ResolveGpsApiCalls(m, &l.calls)) {
    FreeLibrary(m);
    return nullptr;
  }
  g_library = l;
  return &g_library;
}

template <typename T>
T* Pointer(uint64_t slot) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(slot));
}
HANDLE Handle(uint64_t slot) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(slot)); }

BOOL Result(DWORD r) {
  if (r == ERROR_SUCCESS) return TRUE;
  SetLastError(r);
  return FALSE;
}

DWORD Init(LPCWSTR, const void*) { return 1; }
BOOL Deinit(DWORD) { return TRUE; }
DWORD Open(DWORD, DWORD, DWORD) { return 1; }
BOOL Close(DWORD) { return TRUE; }

BOOL IoControl(DWORD, DWORD code, BYTE* in, DWORD inLength, BYTE*, DWORD, DWORD*) {
  if (code != IOCTL_GPSID_CALL) return Result(ERROR_NOT_SUPPORTED);
  GpsidMessage m{};
  if (!in || inLength < 8) return Result(ERROR_INVALID_PARAMETER);
  memcpy(&m, in, 8);
  DWORD size = GpsidMessageSize(m.operation);
  if (size == 0) return Result(ERROR_NOT_SUPPORTED);  // an operation the driver does not know
  if (inLength != size) return Result(ERROR_INVALID_PARAMETER);
  memcpy(&m, in, size);
  const Library* library = Platform();
  if (!library) return Result(ERROR_NOT_READY);
  const GpsApiCalls* api = &library->calls;
  const uint64_t* a = m.argument;
  switch (m.operation) {
    case GPSID_OPEN_DEVICE: {
      DWORD* out = Pointer<DWORD>(a[4]);
      if (!out) return Result(ERROR_INVALID_PARAMETER);
      HANDLE h = api->open(Handle(a[0]), Handle(a[1]), Pointer<const WCHAR>(a[2]), static_cast<DWORD>(a[3]));
      *out = static_cast<DWORD>(reinterpret_cast<uintptr_t>(h));
      return h ? TRUE : Result(GetLastError() ? GetLastError() : ERROR_GEN_FAILURE);
    }
    case GPSID_CLOSE_DEVICE: return Result(api->close(Handle(a[0])));
    case GPSID_GET_POSITION:
      return Result(api->getPosition(Handle(a[0]), Pointer<GPS_POSITION>(a[1]), static_cast<DWORD>(a[2]),
                                     static_cast<DWORD>(a[3])));
    case GPSID_GET_DEVICE_STATE: return Result(api->getDeviceState(Pointer<GPS_DEVICE>(a[0])));
    case GPSID_GET_DEVICE_PARAM:
      return Result(api->getDeviceParam(Handle(a[0]), static_cast<DWORD>(a[1]), Pointer<BYTE>(a[2]),
                                        Pointer<DWORD>(a[3])));
    default:
      return Result(api->setDeviceParam(Handle(a[0]), static_cast<DWORD>(a[1]), Pointer<BYTE>(a[2]),
                                        static_cast<DWORD>(a[3])));
  }
}

}  // namespace

// Registers "GPD0:" in this process unless a device of that name is there already.
void PlatformRegisterGpsIntermediate() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const StreamEntryPoints entries = {Init, Deinit, Open, Close, nullptr, nullptr, nullptr, IoControl,
                                              nullptr, nullptr};
    PlatformRegisterDevice(u"GPD", 0, &entries, 1, FALSE);
  });
}
