// Stream devices loaded in this process: "<prefix><index>:" names that CreateFileW opens through
// the device's entry points, and the services manager's calls on them.
#include <map>
#include <mutex>
#include <string>
#include "handles.h"
#include "platform/devices.h"
#include "platform/kernel.h"
#include "platform/wide.h"
#include "serial_port.h"

using namespace platform;

HANDLE PlatformOpenRemoteDevice(LPCWSTR name, DWORD access, DWORD share);

namespace {

struct Device {
  std::u16string name;  // lower case, "com8:"
  StreamEntryPoints entries;
  DWORD context;
  bool service;
};

std::mutex g_lock;
std::map<uintptr_t, std::shared_ptr<Device>> g_devices;
std::map<std::u16string, ServiceFactory> g_factories;
ServiceLoader g_loader = nullptr;
ServiceUnloader g_unloader = nullptr;
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
  ~DeviceHandle() override {
    if (!serviceHandle && device->entries.Close) device->entries.Close(open);
  }
  BOOL Read(void* buf, DWORD n, DWORD* got) override {
    if (!device->entries.Read) return Fail(ERROR_NOT_SUPPORTED);
    DWORD r = device->entries.Read(open, buf, n);
    if (r == 0xFFFFFFFFu) return FALSE;
    *got = r;
    return TRUE;
  }
  BOOL Write(const void* buf, DWORD n, DWORD* written) override {
    if (!device->entries.Write) return Fail(ERROR_NOT_SUPPORTED);
    DWORD r = device->entries.Write(open, buf, n);
    if (r == 0xFFFFFFFFu) return FALSE;
    *written = r;
    return TRUE;
  }
  bool IsDevice() const override { return true; }
  BOOL IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* actual) override {
    *actual = 0;
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
  if (!g_devices.erase(reinterpret_cast<uintptr_t>(registration))) return KObject::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

// Called by CreateFileW for names of the form "ABC1:". Returns null when the name is no device.
HANDLE PlatformOpenDevice(LPCWSTR name, DWORD access, DWORD share, bool* isDevice) {
  *isDevice = IsDeviceName(name);
  if (!*isDevice) return nullptr;
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
  return PlatformOpenRemoteDevice(name, access, share);  // a device of the host process
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
  if (!d || !d->service) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto h = std::make_shared<DeviceHandle>();
  h->device = d;
  h->serviceHandle = true;
  return AddHandle(h);
}

void PlatformRegisterServiceFactory(LPCWSTR name, ServiceFactory factory) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (factory) g_factories[Lower(name)] = factory;
  else g_factories.erase(Lower(name));
}

HANDLE ActivateService(LPCWSTR name, DWORD flags) {
  ServiceFactory factory = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_factories.find(Lower(name));
    if (it != g_factories.end()) factory = it->second;
  }
  if (factory) return factory(flags);
  ServiceLoader loader;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    loader = g_loader;
  }
  if (loader) return loader(name, flags);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

void PlatformSetServiceLoader(ServiceLoader loader, ServiceUnloader unloader) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_loader = loader;
  g_unloader = unloader;
}

BOOL DeregisterService(HANDLE service) {
  ServiceUnloader unloader;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    unloader = g_unloader;
  }
  if (!unloader) return KObject::Fail(ERROR_INVALID_HANDLE);
  return unloader(service);
}
