// The platform's GPS API over gpsd ("gpsapiOrig.dll"): up to 32 open handles share one gpsd
// connection; each handle's new-location event is set for every new position.
#include <cstring>
#include <mutex>
#include "gpsd_feed.h"
#include "platform/platform.h"

namespace {

constexpr int kHandles = 32;
constexpr uintptr_t kHandleBase = 0x0D1F0000;

struct Slot {
  bool used;
  HANDLE newLocation;
  HANDLE stateChange;
};

std::mutex g_openClose;  // GPSOpenDevice and GPSCloseDevice, whole
std::mutex g_slotLock;   // the slots and the open count
Slot g_slots[kHandles];
int g_open = 0;

int SlotOf(HANDLE h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v < kHandleBase || v >= kHandleBase + kHandles) return -1;
  int slot = static_cast<int>(v - kHandleBase);
  return g_slots[slot].used ? slot : -1;
}

void SignalAll(bool position) {
  std::lock_guard<std::mutex> lock(g_slotLock);
  for (const Slot& s : g_slots) {
    HANDLE e = position ? s.newLocation : s.stateChange;
    if (s.used && e) SetEvent(e);
  }
}

void OnPosition() { SignalAll(true); }
void OnState() { SignalAll(false); }

}  // namespace

extern "C" {

BOOL DllMain(void*, DWORD, void*) { return TRUE; }

// The first open needs gpsd to answer (a source without gpsd is no source); later ones share the
// connection, which comes back by itself when gpsd restarts. Opens and closes run one at a time,
// so a first open waits for a last close to end the feed; the probe of gpsd runs outside the slot
// lock, so positions are served meanwhile.
HANDLE GPSOpenDevice(HANDLE newLocation, HANDLE stateChange, const WCHAR*, DWORD) {
  std::lock_guard<std::mutex> lifecycle(g_openClose);
  bool first;
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    first = g_open == 0;
  }
  if (first && !GpsdReachable()) {
    SetLastError(ERROR_NOT_READY);
    return nullptr;
  }
  if (first && !StartGpsdFeed(OnPosition, OnState)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_slotLock);
  int slot = -1;
  for (int i = 0; i < kHandles && slot < 0; ++i)
    if (!g_slots[i].used) slot = i;
  if (slot < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g_slots[slot] = {true, newLocation, stateChange};
  ++g_open;
  return reinterpret_cast<HANDLE>(kHandleBase + static_cast<uintptr_t>(slot));
}

DWORD GPSCloseDevice(HANDLE device) {
  std::lock_guard<std::mutex> lifecycle(g_openClose);
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    int slot = SlotOf(device);
    if (slot < 0) return ERROR_INVALID_HANDLE;  // never opened, or closed already
    g_slots[slot] = {};
    last = --g_open == 0;
  }
  if (last) StopGpsdFeed();
  return ERROR_SUCCESS;
}

// The latest position when it came no more than `maxAge` ms ago (ticks of this process, unsigned,
// so INFINITE takes any); 1 when there is none that fresh.
DWORD GPSGetPosition(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD) {
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    if (SlotOf(device) < 0) return ERROR_INVALID_HANDLE;
  }
  if (!position || position->dwVersion != GPS_VERSION_1 ||
      (position->dwSize != sizeof(GPS_POSITION) && position->dwSize != kGpsPositionBigSize))
    return ERROR_INVALID_PARAMETER;
  GPS_POSITION latest;
  DWORD tick = 0;
  if (!LatestGpsdPosition(&latest, &tick) || GetTickCount() - tick > maxAge) return 1;
  DWORD size = position->dwSize;
  if (size > sizeof latest) memset(reinterpret_cast<BYTE*>(position) + sizeof latest, 0, size - sizeof latest);
  *position = latest;
  position->dwSize = size;
  return ERROR_SUCCESS;
}

DWORD GPSGetDeviceState(GPS_DEVICE* device) {
  if (!device || device->dwVersion != GPS_VERSION_1 || device->dwSize < sizeof(GPS_DEVICE))
    return ERROR_INVALID_PARAMETER;
  DWORD size = device->dwSize;
  GPS_DEVICE d{};
  d.dwVersion = GPS_VERSION_1;
  d.dwSize = size;
  d.dwServiceState = SERVICE_STATE_ON;
  d.dwDeviceState = GpsdConnected() ? SERVICE_STATE_ON : SERVICE_STATE_OFF;
  GPS_POSITION latest;
  DWORD tick;
  if (LatestGpsdPosition(&latest, &tick) && (latest.dwValidFields & GPS_VALID_UTC_TIME))
    SystemTimeToFileTime(&latest.stUTCTime, &d.ftLastDataReceived);
  GpsdSettings s = ReadGpsdSettings();
  std::string name = "gpsd " + s.host + ":" + s.port;
  Utf8ToWide(name.c_str(), d.szGPSFriendlyName, GPS_MAX_FRIENDLY_NAME);
  *device = d;
  return ERROR_SUCCESS;
}

DWORD GPSGetDeviceParam(HANDLE, DWORD, BYTE*, DWORD*) { return ERROR_NOT_SUPPORTED; }
DWORD GPSSetDeviceParam(HANDLE, DWORD, BYTE*, DWORD) { return ERROR_NOT_SUPPORTED; }

}  // extern "C"
