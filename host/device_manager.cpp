#include "device_manager.h"
#include "platform/holders.h"
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

// Activation handles are tagged ids, never kernel handle values, so that a handle from a
// process's ActivateDeviceEx can travel over the host socket and be checked on its way back.
constexpr uintptr_t kActivationTag = 0x70000000u;
constexpr DWORD kMaxActiveKeys = 99;

struct ActiveDevice {
  uint32_t id = 0;
  HANDLE registration = nullptr;
  HMODULE module = nullptr;
  StreamEntryPoints entries{};
  DWORD context = 0;
  bool service = false;
  std::u16string key;  // the registration it came from ("Drivers\BuiltIn\FrxDriver"), lower case
  std::u16string activeKey, name;
  int powerCalls = 0;  // power calls running on it (made without the lock)
};

std::mutex g_lock;
std::condition_variable g_powerCallsDone;
std::vector<std::unique_ptr<ActiveDevice>> g_devices;
uint32_t g_nextId = 1;
// Re-registrations from several processes run one at a time, so two never load one key twice.
std::mutex g_registrationLock;

std::u16string Lower(LPCWSTR s) {
  std::u16string out;
  for (; s && *s; ++s) out.push_back(WideLower(*s));
  return out;
}

HANDLE HandleOf(const ActiveDevice* d) { return reinterpret_cast<HANDLE>(kActivationTag | d->id); }

// Makes Drivers\Active\NN for the builtin key; returns its path.
std::u16string CreateActiveKey(LPCWSTR builtinKey, const std::u16string& name) {
  for (DWORD n = 1; n <= kMaxActiveKeys; ++n) {
    char text[32];
    snprintf(text, sizeof text, "Drivers\\Active\\%02u", n);
    std::u16string path = Utf8ToWide(text);
    RegKeyHolder k;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, k.Out(), &disposition) != ERROR_SUCCESS)
      return u"";
    if (disposition == REG_CREATED_NEW_KEY) {
      WriteString(k, u"Key", builtinKey);
      WriteString(k, u"Name", name.c_str());
      return path;
    }
  }
  return u"";
}

// The names of the subkeys of `path` (none when it does not exist).
std::vector<std::u16string> SubkeyNames(LPCWSTR path) {
  std::vector<std::u16string> names;
  RegKeyHolder key;
  if (OpenKey(path, key.Out()) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD units = 256;
    if (RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  return names;
}

ActiveDevice* FindLocked(HANDLE h) {
  for (auto& d : g_devices)
    if (HandleOf(d.get()) == h) return d.get();
  return nullptr;
}

// Loads `dll`, registers its "<prefix>_" entry points as "<prefix><index>:" and initialises it
// with `initContext` (the active key's path for drivers, the caller's value for RegisterService).
HANDLE Load(LPCWSTR from, LPCWSTR dll, LPCWSTR prefix, DWORD index, bool service, bool activeKey,
            DWORD registerContext) {
  auto d = std::make_unique<ActiveDevice>();
  d->name = std::u16string(prefix) + char16_t(u'0' + index) + u":";
  d->key = Lower(from);
  d->service = service;
  d->module = LoadLibraryW(dll);
  if (!d->module) {
    LogPrintf(LOG_CRLF, "Driver %s: cannot load %s", Utf8Of(from).text, Utf8Of(dll).text);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  StreamEntryPoints& e = d->entries;
  if (!PlatformStreamEntries(d->module, prefix, &e)) {
    LogPrintf(LOG_CRLF, "Driver %s: entry points missing in %s", Utf8Of(from).text, Utf8Of(dll).text);
    FreeLibrary(d->module);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (activeKey) {
    d->activeKey = CreateActiveKey(from, d->name);
    d->context = e.Init(d->activeKey.c_str(), nullptr);
  } else {  // the service's Init takes the registering caller's value in place of a key
    d->context = e.Init(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(registerContext)), nullptr);
  }
  if (d->context) d->registration = PlatformRegisterDevice(prefix, index, &e, d->context, service ? TRUE : FALSE);
  if (!d->context || !d->registration) {
    DWORD error = GetLastError();
    LogPrintf(LOG_CRLF, "Driver %s: %s did not start", Utf8Of(from).text, Utf8Of(d->name.c_str()).text);
    if (d->context) e.Deinit(d->context);
    if (!d->activeKey.empty()) RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
    FreeLibrary(d->module);
    SetLastError(error ? error : ERROR_GEN_FAILURE);
    return nullptr;
  }
  LogPrintf(LOG_CRLF, "Activated %s as %s (%s)", Utf8Of(from).text, Utf8Of(d->name.c_str()).text, Utf8Of(d->activeKey.c_str()).text);
  std::lock_guard<std::mutex> lock(g_lock);
  d->id = g_nextId++;
  HANDLE handle = HandleOf(d.get());
  g_devices.push_back(std::move(d));
  return handle;
}

// A driver or service from its registration key (Dll, Prefix, Index).
HANDLE Activate(LPCWSTR key, bool service) {
  WCHAR dll[128] = {}, prefix[8] = {};
  DWORD index = 1;
  {
    RegKeyHolder k;
    if (OpenKey(key, k.Out()) != ERROR_SUCCESS) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    ReadValue(k, u"Dll", dll, sizeof dll - 2);
    ReadValue(k, u"Prefix", prefix, sizeof prefix - 2);
    ReadDword(k, u"Index", &index);
  }
  if (!dll[0] || WideLen(prefix) != 3 || index > 9) {
    LogPrintf(LOG_CRLF, "Driver %s: no module, prefix or index", Utf8Of(key).text);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return Load(key, dll, prefix, index, service, true, 0);
}

BOOL Deactivate(HANDLE device) {
  std::unique_ptr<ActiveDevice> d;
  {
    std::unique_lock<std::mutex> lock(g_lock);
    for (auto it = g_devices.begin(); it != g_devices.end(); ++it) {
      if (HandleOf(it->get()) != device) continue;
      d = std::move(*it);
      g_devices.erase(it);
      break;
    }
    // A power call running on it ends first: its Deinit never runs beside PowerDown.
    if (d) g_powerCallsDone.wait(lock, [&d] { return d->powerCalls == 0; });
  }
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  PlatformDeregisterDevice(d->registration);
  d->entries.Deinit(d->context);
  if (!d->activeKey.empty()) RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
  LogPrintf(LOG_CRLF, "Deactivated %s", Utf8Of(d->name.c_str()).text);
  // The module stays loaded: a thread of it may still be finishing.
  return TRUE;
}

std::vector<HANDLE> ActivationsFrom(LPCWSTR key) {
  std::u16string lower = Lower(key);
  std::vector<HANDLE> found;
  std::lock_guard<std::mutex> lock(g_lock);
  for (auto& d : g_devices)
    if (d->key == lower) found.push_back(HandleOf(d.get()));
  return found;
}

// The device manager's activate call: the key's Flags decide. With the no-load bit the instance
// loaded from the key is ended and nothing is loaded; otherwise any instance from the key is
// ended and the driver loaded afresh, so two instances never serve one receiver.
HANDLE ActivateDevice(LPCWSTR key) {
  std::lock_guard<std::mutex> serial(g_registrationLock);
  DWORD flags = 0;
  {
    RegKeyHolder k;
    if (OpenKey(key, k.Out()) != ERROR_SUCCESS) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    ReadDword(k, u"Flags", &flags);
  }
  for (HANDLE old : ActivationsFrom(key)) Deactivate(old);
  if (flags & DEVFLAGS_NOLOAD) {
    LogPrintf(LOG_CRLF, "Driver %s: Flags %u, not loaded", Utf8Of(key).text, flags);
    SetLastError(ERROR_SUCCESS);
    return nullptr;
  }
  return Activate(key, false);
}

HANDLE ActivateServiceByName(LPCWSTR name, DWORD) {
  std::u16string key = std::u16string(u"Services\\") + name;
  if (!ActivationsFrom(key.c_str()).empty()) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return nullptr;
  }
  return Activate(key.c_str(), true);
}

HANDLE RegisterServiceModule(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context) {
  std::u16string from = std::u16string(u"RegisterService ") + dll;
  return Load(from.c_str(), dll, prefix, index, true, false, context);
}

BOOL DeregisterServiceActivation(HANDLE service) {
  {
    std::lock_guard<std::mutex> lock(g_lock);
    ActiveDevice* d = FindLocked(service);
    if (!d || !d->service) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  return Deactivate(service);
}

HANDLE ServiceOf(LPCWSTR deviceName) {
  std::u16string lower = Lower(deviceName);
  std::lock_guard<std::mutex> lock(g_lock);
  for (auto& d : g_devices)
    if (d->service && Lower(d->name.c_str()) == lower) return HandleOf(d.get());
  return nullptr;
}

}  // namespace

void InstallDeviceManager() {
  static const DeviceManagerCalls calls{ActivateDevice,        Deactivate,
                                        ActivateServiceByName, RegisterServiceModule,
                                        DeregisterServiceActivation, ServiceOf};
  PlatformSetDeviceManager(&calls);
}

int ActivateBuiltinDrivers() {
  int count = 0;
  for (const auto& n : SubkeyNames(u"Drivers\\BuiltIn")) {
    std::u16string path = u"Drivers\\BuiltIn\\" + n;
    RegKeyHolder k;
    DWORD flags = 0;
    if (OpenKey(path.c_str(), k.Out()) == ERROR_SUCCESS) ReadDword(k, u"Flags", &flags);
    if (flags == 0 && Activate(path.c_str(), false)) ++count;
  }
  return count;
}

int ActivateRegisteredServices() {
  int count = 0;
  for (const auto& n : SubkeyNames(u"Services")) {
    std::u16string path = u"Services\\" + n;
    WCHAR dll[128] = {};
    DWORD flags = 0;
    LONG err;
    {
      RegKeyHolder k;
      if (OpenKey(path.c_str(), k.Out()) != ERROR_SUCCESS) continue;
      err = ReadValue(k, u"Dll", dll, sizeof dll - 2);
      ReadDword(k, u"Flags", &flags);
    }
    // Data keys have no Dll; a service another one already started stays as it is.
    if (err == ERROR_SUCCESS && dll[0] && flags == 0 && ActivationsFrom(path.c_str()).empty() &&
        Activate(path.c_str(), true))
      ++count;
  }
  return count;
}

void DeactivateAllDevices() {
  for (;;) {
    HANDLE d;
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (g_devices.empty()) return;
      d = HandleOf(g_devices.back().get());
    }
    Deactivate(d);
  }
}

void PowerAllDevices(bool up) {
  // The calls run without the lock (a module may take its time powering down, and other calls
  // of the device manager go on meanwhile); a deactivation waits for the device's call to end.
  std::vector<ActiveDevice*> devices;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& d : g_devices) devices.push_back(d.get());
    for (ActiveDevice* d : devices) ++d->powerCalls;
  }
  for (ActiveDevice* d : devices) {
    PFN_Power power = up ? d->entries.PowerUp : d->entries.PowerDown;
    if (power) power(d->context);
    std::lock_guard<std::mutex> lock(g_lock);
    --d->powerCalls;
    g_powerCallsDone.notify_all();
  }
}

std::u16string DeviceNameOf(LPCWSTR builtinKey) {
  std::u16string lower = Lower(builtinKey);
  std::lock_guard<std::mutex> lock(g_lock);
  for (auto& d : g_devices)
    if (d->key == lower) return d->name;
  return u"";
}

int RemoveStaleActiveKeys() {
  std::vector<std::u16string> owned;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& d : g_devices) owned.push_back(Lower(d->activeKey.c_str()));
  }
  int removed = 0;
  for (const auto& n : SubkeyNames(u"Drivers\\Active")) {
    std::u16string path = u"Drivers\\Active\\" + n;
    bool mine = false;
    for (const auto& o : owned) mine = mine || o == Lower(path.c_str());
    if (!mine && RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS) ++removed;
  }
  return removed;
}
