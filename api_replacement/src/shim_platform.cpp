// Loading the platform's library by name and unloading it when no handle of it is left.
#include "shim_platform.h"
#include <mutex>
#include "platform/platform.h"
#include "support/log.h"

namespace {

std::mutex g_lock;
HMODULE g_library = nullptr;
GpsApiCalls g_api;
int g_handles = 0;

}  // namespace

const GpsApiCalls* PlatformApi() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_library) return &g_api;
  LogLine(LOG_CRLF, "Open Gps Handle");
  g_library = LoadLibraryW(u"gpsapiOrig.dll");
  if (!g_library) {
    LogLine(LOG_CRLF, "Can't Load Original Gps Library");
    SetLastError(128);
    return nullptr;
  }
  if (!ResolveGpsApiCalls(g_library, &g_api)) {
    LogLine(LOG_CRLF, "Can't Get Addresses");
    FreeLibrary(g_library);
    g_library = nullptr;
    SetLastError(129);
    return nullptr;
  }
  return &g_api;
}

void PlatformHandleOpened() {
  std::lock_guard<std::mutex> lock(g_lock);
  ++g_handles;
}

void PlatformHandleClosed() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_handles > 0) --g_handles;
  if (g_handles == 0 && g_library) {
    FreeLibrary(g_library);
    g_library = nullptr;
    g_api = GpsApiCalls{};
  }
}
