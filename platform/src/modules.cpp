// Modules: registered in this process, or shared libraries found by name.
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include "platform/devices.h"
#include "platform/kernel.h"
#include "platform/wide.h"

namespace {

struct Module {
  ModuleLookup lookup = nullptr;  // a module of this process
  void* library = nullptr;        // or a shared library
};

std::mutex g_lock;
std::map<std::u16string, ModuleLookup> g_registered;
std::map<uintptr_t, Module> g_loaded;
uintptr_t g_next = 0x4000;

std::u16string Lower(LPCWSTR s) {
  std::u16string out;
  for (; s && *s; ++s) out.push_back(WideLower(*s));
  return out;
}

std::string ProgramFolder() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return ".";
  exe[n] = 0;
  std::string path = exe;
  return path.substr(0, path.rfind('/'));
}

// Where "X.dll" is looked for: FERROX_MODULE_DIR, else beside the program (a build tree), then
// the installed module folder (<prefix>/lib/<triplet>/ferrox) for a program in <prefix>/bin.
std::string ModulePath(const std::string& base) {
  if (const char* d = getenv("FERROX_MODULE_DIR"); d && *d) return std::string(d) + "/lib" + base + ".so";
  std::string beside = ProgramFolder() + "/lib" + base + ".so";
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return ProgramFolder() + "/../" FERROX_MODULE_INSTALL_DIR "/lib" + base + ".so";
}

}  // namespace

void PlatformRegisterModule(LPCWSTR name, ModuleLookup lookup) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (lookup) g_registered[Lower(name)] = lookup;
  else g_registered.erase(Lower(name));
}

HMODULE LoadLibraryW(LPCWSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::u16string lower = Lower(name);
  Module m;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_registered.find(lower);
    if (it != g_registered.end()) m.lookup = it->second;
  }
  if (!m.lookup) {
    std::string base = WideToUtf8(name);
    if (base.size() > 4 && (base.substr(base.size() - 4) == ".dll" || base.substr(base.size() - 4) == ".DLL"))
      base = base.substr(0, base.size() - 4);
    if (base.find('/') != std::string::npos || base.find("..") != std::string::npos) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    std::string path = ModulePath(base);
    m.library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m.library) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(g_lock);
  uintptr_t h = g_next;
  g_next += 4;
  g_loaded[h] = m;
  return reinterpret_cast<HMODULE>(h);
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR name) {
  Module m;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_loaded.find(reinterpret_cast<uintptr_t>(module));
    if (it == g_loaded.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    m = it->second;
  }
  std::string symbol = WideToUtf8(name);
  FARPROC p = m.lookup ? m.lookup(symbol.c_str()) : dlsym(m.library, symbol.c_str());
  if (!p) SetLastError(ERROR_FILE_NOT_FOUND);
  return p;
}

BOOL FreeLibrary(HMODULE module) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_loaded.find(reinterpret_cast<uintptr_t>(module));
  if (it == g_loaded.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (it->second.library) dlclose(it->second.library);
  g_loaded.erase(it);
  return TRUE;
}

int PlatformStreamEntries(HMODULE module, LPCWSTR prefix, StreamEntryPoints* e) {
  const std::u16string p = std::u16string(prefix) + u"_";
  auto entry = [&](const char16_t* name) { return GetProcAddressW(module, (p + name).c_str()); };
  e->Init = reinterpret_cast<PFN_Init>(entry(u"Init"));
  e->Deinit = reinterpret_cast<PFN_Deinit>(entry(u"Deinit"));
  e->Open = reinterpret_cast<PFN_Open>(entry(u"Open"));
  e->Close = reinterpret_cast<PFN_Close>(entry(u"Close"));
  e->Read = reinterpret_cast<PFN_Read>(entry(u"Read"));
  e->Write = reinterpret_cast<PFN_Write>(entry(u"Write"));
  e->Seek = reinterpret_cast<PFN_Seek>(entry(u"Seek"));
  e->IOControl = reinterpret_cast<PFN_IOControl>(entry(u"IOControl"));
  e->PowerUp = reinterpret_cast<PFN_Power>(entry(u"PowerUp"));
  e->PowerDown = reinterpret_cast<PFN_Power>(entry(u"PowerDown"));
  return e->Init && e->Deinit && e->Open && e->Close;
}
