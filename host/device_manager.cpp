#include "device_manager.h"
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

struct ActiveDevice {
  HANDLE registration = nullptr;
  HMODULE module = nullptr;
  StreamEntryPoints entries{};
  DWORD context = 0;
  std::u16string activeKey, name;
};

std::mutex g_lock;
std::vector<ActiveDevice*> g_devices;

FARPROC Entry(HMODULE module, const std::u16string& prefix, const char16_t* name) {
  std::u16string symbol = prefix + u"_" + name;
  return GetProcAddressW(module, symbol.c_str());
}

// Makes Drivers\Active\NN for the builtin key; returns its path.
std::u16string CreateActiveKey(LPCWSTR builtinKey, const std::u16string& name) {
  for (int n = 1; n < 100; ++n) {
    char text[32];
    snprintf(text, sizeof text, "Drivers\\Active\\%02d", n);
    std::u16string path = Utf8ToWide(text);
    HKEY k;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &k, &disposition) != ERROR_SUCCESS)
      return u"";
    if (disposition == REG_CREATED_NEW_KEY) {
      WriteString(k, u"Key", builtinKey);
      WriteString(k, u"Name", name.c_str());
      RegCloseKey(k);
      return path;
    }
    RegCloseKey(k);
  }
  return u"";
}

}  // namespace

static HANDLE Activate(LPCWSTR builtinKey, bool service);

HANDLE ActivateDeviceEx(LPCWSTR builtinKey, const void*, DWORD, LPVOID) { return Activate(builtinKey, false); }

// Services come from Services\<name>, with the same Dll, Prefix and Index values as drivers.
HANDLE LoadService(LPCWSTR name, DWORD) {
  std::u16string key = std::u16string(u"Services\\") + name;
  return Activate(key.c_str(), true);
}

BOOL UnloadService(HANDLE service) { return DeactivateDevice(service); }

static HANDLE Activate(LPCWSTR builtinKey, bool service) {
  HKEY key;
  if (OpenKey(builtinKey, &key) != ERROR_SUCCESS) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  WCHAR dll[128] = {}, prefix[8] = {};
  DWORD index = 1;
  ReadValue(key, u"Dll", dll, sizeof dll - 2);
  ReadValue(key, u"Prefix", prefix, sizeof prefix - 2);
  ReadDword(key, u"Index", &index);
  RegCloseKey(key);
  if (!dll[0] || WideLen(prefix) != 3 || index > 9) {
    LogPrintf(LOG_CRLF, "Driver %ls: no module, prefix or index", builtinKey);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* d = new ActiveDevice;
  d->name = std::u16string(prefix) + char16_t(u'0' + index) + u":";
  d->module = LoadLibraryW(dll);
  if (!d->module) {
    LogPrintf(LOG_CRLF, "Driver %ls: cannot load %ls", builtinKey, dll);
    delete d;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::u16string p = prefix;
  StreamEntryPoints& e = d->entries;
  e.Init = reinterpret_cast<PFN_Init>(Entry(d->module, p, u"Init"));
  e.Deinit = reinterpret_cast<PFN_Deinit>(Entry(d->module, p, u"Deinit"));
  e.Open = reinterpret_cast<PFN_Open>(Entry(d->module, p, u"Open"));
  e.Close = reinterpret_cast<PFN_Close>(Entry(d->module, p, u"Close"));
  e.Read = reinterpret_cast<PFN_Read>(Entry(d->module, p, u"Read"));
  e.Write = reinterpret_cast<PFN_Write>(Entry(d->module, p, u"Write"));
  e.Seek = reinterpret_cast<PFN_Seek>(Entry(d->module, p, u"Seek"));
  e.IOControl = reinterpret_cast<PFN_IOControl>(Entry(d->module, p, u"IOControl"));
  e.PowerUp = reinterpret_cast<PFN_Power>(Entry(d->module, p, u"PowerUp"));
  e.PowerDown = reinterpret_cast<PFN_Power>(Entry(d->module, p, u"PowerDown"));
  if (!e.Init || !e.Deinit || !e.Open || !e.Close) {
    LogPrintf(LOG_CRLF, "Driver %ls: entry points missing in %ls", builtinKey, dll);
    FreeLibrary(d->module);
    delete d;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  d->activeKey = CreateActiveKey(builtinKey, d->name);
  d->context = e.Init(d->activeKey.c_str(), nullptr);
  if (d->context) d->registration = PlatformRegisterDevice(prefix, index, &e, d->context, service ? TRUE : FALSE);
  if (!d->context || !d->registration) {
    LogPrintf(LOG_CRLF, "Driver %ls: %ls did not start", builtinKey, d->name.c_str());
    if (d->context) e.Deinit(d->context);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
    FreeLibrary(d->module);
    delete d;
    return nullptr;
  }
  LogPrintf(LOG_CRLF, "Activated %ls as %ls (%ls)", builtinKey, d->name.c_str(), d->activeKey.c_str());
  std::lock_guard<std::mutex> lock(g_lock);
  g_devices.push_back(d);
  return reinterpret_cast<HANDLE>(d);
}

BOOL DeactivateDevice(HANDLE device) {
  ActiveDevice* d = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    for (size_t i = 0; i < g_devices.size(); ++i)
      if (g_devices[i] == device) {
        d = g_devices[i];
        g_devices.erase(g_devices.begin() + static_cast<long>(i));
        break;
      }
  }
  if (!d) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  PlatformDeregisterDevice(d->registration);
  d->entries.Deinit(d->context);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, d->activeKey.c_str());
  LogPrintf(LOG_CRLF, "Deactivated %ls", d->name.c_str());
  // The module stays loaded: a thread of it may still be finishing.
  delete d;
  return TRUE;
}

// The names of the subkeys of `path` (none when it does not exist).
static std::vector<std::u16string> SubkeyNames(LPCWSTR path) {
  std::vector<std::u16string> names;
  HKEY key;
  if (OpenKey(path, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD units = 256;
    if (RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

int ActivateBuiltinDrivers() {
  std::vector<std::u16string> names = SubkeyNames(u"Drivers\\BuiltIn");
  int count = 0;
  for (const auto& n : names) {
    std::u16string path = u"Drivers\\BuiltIn\\" + n;
    HKEY k;
    DWORD flags = 0;
    if (OpenKey(path.c_str(), &k) == ERROR_SUCCESS) {
      ReadDword(k, u"Flags", &flags);
      RegCloseKey(k);
    }
    if (flags == 0 && ActivateDeviceEx(path.c_str(), nullptr, 0, nullptr)) ++count;
  }
  return count;
}

int ActivateRegisteredServices() {
  std::vector<std::u16string> names = SubkeyNames(u"Services");
  int count = 0;
  for (const auto& n : names) {
    std::u16string path = u"Services\\" + n;
    HKEY k;
    WCHAR dll[128] = {};
    DWORD flags = 0;
    if (OpenKey(path.c_str(), &k) != ERROR_SUCCESS) continue;
    LONG err = ReadValue(k, u"Dll", dll, sizeof dll - 2);
    ReadDword(k, u"Flags", &flags);
    RegCloseKey(k);
    if (err == ERROR_SUCCESS && dll[0] && flags == 0 && LoadService(n.c_str(), 0)) ++count;  // data keys have no Dll
  }
  return count;
}

void DeactivateAllDevices() {
  for (;;) {
    HANDLE d;
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (g_devices.empty()) return;
      d = g_devices.back();
    }
    DeactivateDevice(d);
  }
}

std::u16string FirstDeviceName() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_devices.empty() ? u"" : g_devices.front()->name;
}
