// PosShim's exports: ten own handles served by one reading thread on the driver's port, and the
// platform library for everything else.
#include <cstring>
#include <mutex>
#include <string>
#include <memory>
#include "settings_store/settings.h"
#include "support/units.h"
#include "api_replacement/pos_shim.h"
#include "platform/exit_safe_thread.h"
#include "platform/platform.h"
#include "shim_platform.h"
#include "support/log.h"
#include "support/nmea_writer.h"
#include "support/reg_helpers.h"

namespace {

struct ShimSlot {
  bool used;
  HANDLE newLocation;
  HANDLE stateChange;
};

// What one reading thread owns: its stop event and the port it reads, which a stop closes to end
// a blocked read. Each thread has its own, so a close never touches a later thread's port.
struct ReaderContext {
  HANDLE stop = nullptr;
  std::mutex portLock;
  HANDLE port = nullptr;
  ~ReaderContext() {
    if (stop) CloseHandle(stop);
  }
};

std::mutex g_openClose;  // own opens and closes, whole: a first open waits for a last close
std::mutex g_slotLock;   // slots and the open count
ShimSlot g_slots[kShimHandles];
int g_open = 0;

std::mutex g_recordLock;  // the served record and the device state
GPS_POSITION g_served;
DWORD g_servedTick = 0;
bool g_haveRecord = false;
GPS_DEVICE g_device;
bool g_deviceBuilt = false;

ExitSafeThread g_reader;  // after what it uses: stopped at exit before they are destroyed

const char kVersion[] = "Driver Version 3.19";
// A port that fails or is not there yet is tried again this often.
constexpr DWORD kReopenMs = 1000;

void SetUpLog() {
  SetLogName("PosShim");
  LogReadEnableSetting(MAIN_KEY);  // one switch for every log: the driver's
  LogLine(LOG_CRLF | LOG_FLUSH, kVersion);
}

// "COMn:" of the driver's registration.
std::u16string PortName() {
  DWORD index = 1;
  HKEY key;
  if (OpenKey(u"Drivers\\BuiltIn\\FrxDriver", &key) == ERROR_SUCCESS) {
    ReadDword(key, u"Index", &index);
    RegCloseKey(key);
  }
  return std::u16string(u"COM") + static_cast<char16_t>(u'0' + index % 10) + u":";
}

void BuildDeviceState() {
  std::lock_guard<std::mutex> lock(g_recordLock);
  if (g_deviceBuilt) return;
  LogLine(LOG_NEWFILE | LOG_TAB, "Reset State Data\r\n");
  g_device = GPS_DEVICE{};
  g_device.dwVersion = GPS_VERSION_1;
  g_device.dwSize = sizeof g_device;
  g_device.dwServiceState = SERVICE_STATE_ON;
  g_device.dwDeviceState = SERVICE_STATE_ON;
  std::u16string port = PortName();
  memcpy(g_device.szGPSMultiplexPrefix, port.c_str(), (port.size() + 1) * sizeof(WCHAR));
  const char16_t name[] = u"FerroxDriver";
  memcpy(g_device.szGPSFriendlyName, name, sizeof name);
  g_deviceBuilt = true;
}

void DebugLine(const char* source, const FixRecord* fix) {
  if (LogEnable() < 2) return;
  char batch[kNmeaBatchSize];
  int n = MakeNmeaBatch(fix, batch, sizeof batch);
  if (n < 0) return;
  LogPrintf(LOG_VERBOSE, "%s Data Return: %u (%X) [%s]\r\n", source, static_cast<DWORD>(n), fix->ValidFields, batch);
}

// A record in the API's layout, back in the driver's conventions on a copy, for the debug line.
void DebugApiRecord(const GPS_POSITION* p) {
  if (LogEnable() < 2) return;
  FixRecord fix;
  memcpy(&fix, p, sizeof fix);
  fix.MagVariation = static_cast<float>(p->dblMagneticVariation);
  float heading = p->flHeading + fix.MagVariation;
  if (heading < 0) heading += 360;
  else if (heading >= 360) heading -= 360;
  fix.MagHeading = heading;
  fix.Speed = p->flSpeed * kKmhPerKnot;
  fix.Orientation = fix.ProfileNumber = 0;
  fix.SourceKind = SOURCE_PLATFORM_API;
  DebugLine("GpsId", &fix);
}

// "%s Data (%d): [..]" of at most 30 bytes ("TR: " when longer), as the parameter dumps show them.
void LogData(const char* direction, const BYTE* data, DWORD length) {
  char text[4 + 30 * 4 + 1] = "";
  size_t at = 0;
  DWORD shown = length;
  if (length > 30) {
    at = static_cast<size_t>(snprintf(text, sizeof text, "TR: "));
    shown = 30;
  }
  for (DWORD i = 0; data && i < shown; ++i) at += static_cast<size_t>(snprintf(text + at, sizeof text - at, "%02x, ", data[i]));
  if (at >= 2 && data && shown) text[at - 2] = 0;
  LogPrintf(LOG_CRLF | LOG_VERBOSE, "%s Data (%d): [%s]", direction, static_cast<int>(shown), text);
}

void Serve(const FixRecord& raw) {
  DebugLine("Ferrox", &raw);
  GPS_POSITION p;
  ConvertDriverRecord(&raw, &p);
  {
    std::lock_guard<std::mutex> lock(g_recordLock);
    g_served = p;
    g_servedTick = GetTickCount();
    g_haveRecord = true;
    SystemTimeToFileTime(&p.stUTCTime, &g_device.ftLastDataReceived);
  }
  std::lock_guard<std::mutex> lock(g_slotLock);
  for (const ShimSlot& s : g_slots)
    if (s.used && s.newLocation) SetEvent(s.newLocation);
}

void ReadingThread(ReaderContext* context) {
  LogLine(LOG_CRLF, "Started Background Reading Thread");
  HANDLE stop = context->stop;
  std::u16string port = PortName();
  BuildDeviceState();
  while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
    HANDLE h = CreateFileW(port.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      // The driver is not there (yet): tried again, never in a busy loop.
      LogPrintf(LOG_CRLF, "Open Port %s Error: %d", Utf8Of(port.c_str()).text, GetLastError());
      WaitForSingleObject(stop, kReopenMs);
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(context->portLock);
      if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
        CloseHandle(h);
        break;
      }
      context->port = h;
    }
    LogPrintf(LOG_CRLF, "Opened Port %s", Utf8Of(port.c_str()).text);
    while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
      LogLine(LOG_CRLF | LOG_VERBOSE, "Read Raw Data");
      FixRecord raw;
      DWORD got = 0;
      if (!ReadFile(h, &raw, sizeof raw, &got, nullptr)) break;  // the driver has gone: open again
      LogPrintf(LOG_CRLF, "Read %d Bytes (of %d)", got, static_cast<int>(sizeof raw));
      if (got != sizeof raw || raw.Version != 1) continue;
      Serve(raw);
    }
    {
      std::lock_guard<std::mutex> lock(context->portLock);
      if (context->port) CloseHandle(context->port);
      context->port = nullptr;
    }
    WaitForSingleObject(stop, kReopenMs);
  }
  LogLine(LOG_CRLF, "Stopped Background Reading Thread");
}

// Ends a reading thread: its stop is set and its port closed, which ends a blocked read.
void StopReading(ReaderContext* context) {
  SetEvent(context->stop);
  std::lock_guard<std::mutex> lock(context->portLock);
  if (context->port) CloseHandle(context->port);
  context->port = nullptr;
}

int OwnSlot(HANDLE h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v < kShimHandleBase || v >= kShimHandleBase + kShimHandles) return -1;
  return static_cast<int>(v - kShimHandleBase);
}

}  // namespace

extern "C" {

BOOL DllMain(void*, DWORD, void*) { return TRUE; }

DWORD FerroxOwnOutput() { return 1; }

HANDLE GPSOpenDevice(HANDLE newLocation, HANDLE stateChange, const WCHAR*, DWORD) {
  SetUpLog();
  LogLine(LOG_TAB, "Open Device\r\n");
  std::unique_lock<std::mutex> lifecycle(g_openClose);
  std::unique_lock<std::mutex> lock(g_slotLock);
  int slot = -1;
  for (int i = 0; i < kShimHandles && slot < 0; ++i)
    if (!g_slots[i].used) slot = i;
  if (slot < 0) {
    lock.unlock();
    lifecycle.unlock();
    LogLine(LOG_TAB | LOG_FLUSH, "Open Device Passthrough\r\n");
    const GpsApiCalls* api = PlatformApi();
    HANDLE h = api ? api->open(newLocation, stateChange, nullptr, 0) : nullptr;
    if (h) PlatformHandleOpened();
    return h;
  }
  if (g_open == 0) {
    auto context = std::make_shared<ReaderContext>();
    context->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!context->stop) return nullptr;
    g_reader.Start([context] { ReadingThread(context.get()); }, [context] { StopReading(context.get()); });
  }
  ++g_open;
  g_slots[slot] = {true, newLocation, stateChange};
  return reinterpret_cast<HANDLE>(kShimHandleBase + static_cast<uintptr_t>(slot));
}

DWORD GPSCloseDevice(HANDLE device) {
  int slot = OwnSlot(device);
  if (slot < 0) {
    LogLine(LOG_TAB | LOG_FLUSH | LOG_CLOSE, "Close Device Passthrough\r\n");
    const GpsApiCalls* api = PlatformApi();
    if (!api) return 1;
    DWORD r = api->close(device);
    if (r == ERROR_SUCCESS) PlatformHandleClosed();
    return r;
  }
  LogLine(LOG_TAB, "Closing Device\r\n");
  std::lock_guard<std::mutex> lifecycle(g_openClose);
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    if (!g_slots[slot].used) return ERROR_INVALID_HANDLE;  // closed already: the count stays
    g_slots[slot] = {};
    if (--g_open > 0) return ERROR_SUCCESS;
  }
  // The last close ends the reading thread (its blocked read ends with the port's handle) before
  // another open may start the next one.
  g_reader.Finish();
  LogLine(LOG_TAB | LOG_CLOSE, "Closed Device\r\n");
  return ERROR_SUCCESS;
}

DWORD GPSGetPosition(HANDLE device, GPS_POSITION* position, DWORD maxAge, DWORD flags) {
  int slot = OwnSlot(device);
  if (slot < 0) {
    LogLine(LOG_TAB | LOG_FLUSH, "GetPosition Passthrough\r\n");
    const GpsApiCalls* api = PlatformApi();
    if (!api) return 1;
    DWORD r = api->getPosition(device, position, maxAge, flags);
    if (r == ERROR_SUCCESS && position) DebugApiRecord(position);
    return r;
  }
  {
    std::lock_guard<std::mutex> lock(g_slotLock);
    if (!g_slots[slot].used) return ERROR_INVALID_HANDLE;
  }
  if (!position || position->dwVersion != GPS_VERSION_1 ||
      (position->dwSize != sizeof(GPS_POSITION) && position->dwSize != kGpsPositionBigSize))
    return ERROR_INVALID_PARAMETER;
  LogLine(LOG_TAB, "Get Position\r\n");
  GPS_POSITION served;
  {
    std::lock_guard<std::mutex> lock(g_recordLock);
    // The age is how long ago this process received the record (not its UTC against this clock,
    // which a receiver's own time may be far from); INFINITE takes any record.
    if (!g_haveRecord || GetTickCount() - g_servedTick > maxAge) return 1;
    served = g_served;
  }
  DWORD size = position->dwSize;
  if (size > sizeof served) memset(reinterpret_cast<BYTE*>(position) + sizeof served, 0, size - sizeof served);
  *position = served;
  position->dwSize = size;
  return ERROR_SUCCESS;
}

DWORD GPSGetDeviceState(GPS_DEVICE* device) {
  SetUpLog();
  LogLine(LOG_TAB, "Get State\r\n");
  BuildDeviceState();
  if (device && device->dwVersion == GPS_VERSION_1 && device->dwSize >= sizeof(GPS_DEVICE)) {
    DWORD size = device->dwSize;
    std::lock_guard<std::mutex> lock(g_recordLock);
    *device = g_device;
    device->dwSize = size;
    return ERROR_SUCCESS;
  }
  const GpsApiCalls* api = PlatformApi();
  return api ? api->getDeviceState(device) : 1;
}

DWORD GPSGetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD* size) {
  SetUpLog();
  const GpsApiCalls* api = PlatformApi();
  DWORD r = api ? api->getDeviceParam(device, parameter, data, size) : 1;
  LogPrintf(LOG_TAB, "Get: IOControl code=%X, return %d\r\n", parameter, r);
  LogData("OUT", data, size ? *size : 0);
  return r;
}

DWORD GPSSetDeviceParam(HANDLE device, DWORD parameter, BYTE* data, DWORD size) {
  SetUpLog();
  LogPrintf(LOG_TAB, "Set: IOControl code=%X\r\n", parameter);
  LogData("IN", data, size);
  const GpsApiCalls* api = PlatformApi();
  return api ? api->setDeviceParam(device, parameter, data, size) : 1;
}

}  // extern "C"
