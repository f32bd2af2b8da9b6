// Stream devices loaded in this process: "<prefix><index>:" names that CreateFileW opens through
// the device's entry points, and the services manager's calls on them.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include "handles.h"
#include "platform/devices.h"
#include "platform/kernel.h"
#include "platform/wide.h"
#include "serial_port.h"
#include "wire_connect.h"

using namespace platform;


namespace {

struct Device {
  std::u16string name;  // lower case, "com8:"
  StreamEntryPoints entries;
  DWORD context;
  bool service;
  // Deregistered: handles still open on it fail, and never call into the module again (a
  // driver loaded afresh reuses its open contexts).
  std::atomic<bool> gone{false};
};

std::mutex g_lock;
std::map<uintptr_t, std::shared_ptr<Device>> g_devices;
DeviceManagerCalls g_manager{};
bool g_hasManager = false;
uintptr_t g_nextRegistration = 0x3000;

std::u16string Lower(LPCWSTR s) {
  std::u16string out;
  for (; s && *s; ++s) out.push_back(WideLower(*s));
  return out;
}

std::shared_ptr<Device> Find(const std::u16string& lowerName) {
  std::lock_guard<std::mutex> lock(g_lock);
  for (auto& [h, d] : g_devices)
    if (d->name == lowerName) return d;
  return nullptr;
}

// An open handle of a device: its calls go to the device's entry points.
struct DeviceHandle : KObject {
  std::shared_ptr<Device> device;
  DWORD open = 0;
  bool serviceHandle = false;  // from GetServiceHandle: no open context
  std::atomic<bool> closed{false};
  // The device's Close runs when the handle is closed, not when the last call on it returns: it
  // is what ends a read that another thread has blocked in the device.
  void Closing() override {
    if (!closed.exchange(true) && !serviceHandle && !device->gone && device->entries.Close)
      device->entries.Close(open);
  }
  ~DeviceHandle() override { Closing(); }
  BOOL Read(void* buf, DWORD n, DWORD* got) override {
    if (device->gone) return Fail(ERROR_INVALID_HANDLE);
    if (!device->entries.Read) return Fail(ERROR_NOT_SUPPORTED);
    DWORD r = device->entries.Read(open, buf, n);
    if (r == 0xFFFFFFFFu) return FALSE;
    *got = r;
    return TRUE;
  }
  BOOL Write(const void* buf, DWORD n, DWORD* written) override {
    if (device->gone) return Fail(ERROR_INVALID_HANDLE);
    if (!device->entries.Write) return Fail(ERROR_NOT_SUPPORTED);
    DWORD r = device->entries.Write(open, buf, n);
    if (r == 0xFFFFFFFFu) return FALSE;
    *written = r;
    return TRUE;
  }
  bool IsDevice() const override { return true; }
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual) override {
    *actual = 0;
    if (device->gone) return Fail(ERROR_INVALID_HANDLE);
    if (!device->entries.IOControl) return Fail(ERROR_NOT_SUPPORTED);
    DWORD context = serviceHandle ? device->context : open;
    return device->entries.IOControl(context, code, static_cast<BYTE*>(const_cast<void*>(in)), inLength,
                                     static_cast<BYTE*>(out), outLength, actual);
  }
};

// "ABC1:" - three letters, one digit, a colon.
bool IsDeviceName(LPCWSTR name) {
  if (WideLen(name) != 5 || name[4] != u':' || name[3] < u'0' || name[3] > u'9') return false;
  for (int i = 0; i < 3; ++i)
    if (!((name[i] >= u'A' && name[i] <= u'Z') || (name[i] >= u'a' && name[i] <= u'z'))) return false;
  return true;
}

}  // namespace

HANDLE PlatformRegisterDevice(LPCWSTR prefix, DWORD index, const StreamEntryPoints* entries, DWORD context,
                              BOOL isService) {
  if (!prefix || WideLen(prefix) != 3 || index > 9 || !entries) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto d = std::make_shared<Device>();
  d->name = Lower(prefix) + static_cast<char16_t>(u'0' + index) + u":";
  d->entries = *entries;
  d->context = context;
  d->service = isService;
  if (Find(d->name)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_lock);
  uintptr_t h = g_nextRegistration;
  g_nextRegistration += 4;
  g_devices[h] = d;
  return reinterpret_cast<HANDLE>(h);
}

BOOL PlatformDeregisterDevice(HANDLE registration) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_devices.find(reinterpret_cast<uintptr_t>(registration));
  if (it == g_devices.end()) return KObject::Fail(ERROR_INVALID_HANDLE);
  it->second->gone = true;
  g_devices.erase(it);
  return TRUE;
}

// Called by CreateFileW for names of the form "ABC1:". Returns null when the name is no device.
void PlatformRegisterGpsIntermediate();

HANDLE PlatformOpenDevice(LPCWSTR name, DWORD access, DWORD share, bool* isDevice) {
  *isDevice = IsDeviceName(name);
  if (!*isDevice) return nullptr;
  // The GPS Intermediate Driver is the platform's own, in every process that asks for it.
  if (Lower(name) == u"gpd0:" && !Find(Lower(name))) PlatformRegisterGpsIntermediate();
  if (auto d = Find(Lower(name))) {
    DWORD open = d->entries.Open ? d->entries.Open(d->context, access, share) : 0;
    if (!open) {
      if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
      return INVALID_HANDLE_VALUE;
    }
    auto h = std::make_shared<DeviceHandle>();
    h->device = d;
    h->open = open;
    return AddHandle(h);
  }
  if (Lower(name).rfind(u"com", 0) == 0) {
    HANDLE port = PlatformOpenSerialPort(name);
    if (port != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) return port;
  }
  return RemoteOpenDevice(name, access, share);  // a device of the host process
}

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength, LPDWORD returned,
                     LPVOID) {
  auto object = FindHandle(h);
  if (!object) return KObject::Fail(ERROR_INVALID_HANDLE);
  DWORD actual = 0;
  BOOL ok = object->IoControl(code, in, inLength, out, outLength, &actual);
  if (returned) *returned = actual;
  return ok;
}

HANDLE GetServiceHandle(LPCWSTR name, LPWSTR, LPDWORD) {
  auto d = name ? Find(Lower(name)) : nullptr;
  if (!d) return RemoteServiceHandle(name);  // a service of the host process
  if (!d->service) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto h = std::make_shared<DeviceHandle>();
  h->device = d;
  h->serviceHandle = true;
  return AddHandle(h);
}

void PlatformSetDeviceManager(const DeviceManagerCalls* calls) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_hasManager = calls != nullptr;
  g_manager = calls ? *calls : DeviceManagerCalls{};
}

// The device manager of this process, if it has one (only the host does).
static bool Manager(DeviceManagerCalls* calls) {
  std::lock_guard<std::mutex> lock(g_lock);
  *calls = g_manager;
  return g_hasManager;
}

HANDLE ActivateService(LPCWSTR name, DWORD flags) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeviceManagerCalls m;
  if (Manager(&m)) return m.activateService(name, flags);
  return RemoteActivateService(name, flags);
}

HANDLE RegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context) {
  if (!prefix || WideLen(prefix) != 3 || index > 9 || !dll || !*dll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeviceManagerCalls m;
  if (Manager(&m)) return m.registerService(prefix, index, dll, context);
  return RemoteRegisterService(prefix, index, dll, context);
}

BOOL DeregisterService(HANDLE service) {
  int remote = RemoteDeregisterService(service);
  if (remote >= 0) return remote;
  DeviceManagerCalls m;
  if (!Manager(&m)) return KObject::Fail(ERROR_INVALID_HANDLE);
  // A handle of the service itself (GetServiceHandle, CreateFileW) names the service it ends.
  if (auto h = FindHandleAs<DeviceHandle>(service)) {
    if (!h->device->service) return KObject::Fail(ERROR_INVALID_HANDLE);
    service = m.serviceOf(h->device->name.c_str());
    if (!service) return KObject::Fail(ERROR_INVALID_HANDLE);
  }
  return m.deregisterService(service);
}

HANDLE ActivateDeviceEx(LPCWSTR builtinKey, const void*, DWORD, LPVOID) {
  if (!builtinKey || !*builtinKey) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeviceManagerCalls m;
  if (Manager(&m)) return m.activateDevice(builtinKey);
  return RemoteActivateDevice(builtinKey);
}

BOOL DeactivateDevice(HANDLE device) {
  int remote = RemoteDeactivateDevice(device);
  if (remote >= 0) return remote;
  DeviceManagerCalls m;
  if (!Manager(&m)) return KObject::Fail(ERROR_INVALID_HANDLE);
  return m.deactivateDevice(device);
}
