// The driver's control link to the cell service "TWK1:": start at wake, stop at sleep.
#include "driver_internal.h"
#include "platform/service_ioctl.h"
#include "settings_store/settings.h"
#include "support/reg_helpers.h"

namespace {

DWORD g_enableCells = 0;

HANDLE Handle() {
  HANDLE h = CreateFileW(u"TWK1:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h && h != INVALID_HANDLE_VALUE) return h;
  h = GetServiceHandle(u"TWK1:", nullptr, nullptr);
  return h && h != INVALID_HANDLE_VALUE ? h : nullptr;
}

}  // namespace

DWORD ReadEnableCells() {
  HKEY key;
  if (OpenKey(CELL_KEY, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"EnableCells", &g_enableCells);
    RegCloseKey(key);
  }
  return g_enableCells;
}

void StartCellService() {
  HANDLE h = Handle();
  if (!h) {
    ActivateService(u"Towerkin", 0);
    return;
  }
  DeviceIoControl(h, IOCTL_SERVICE_START, nullptr, 0, nullptr, 0, nullptr, nullptr);
  CloseHandle(h);
}

DWORD CellServiceRunning() {
  HANDLE h = Handle();
  if (!h) return 0;
  DWORD running = 0, got = 0;
  if (!DeviceIoControl(h, IOCTL_SERVICE_STATUS, nullptr, 0, &running, sizeof running, &got, nullptr)) running = 0;
  CloseHandle(h);
  return running;
}

void StopCellService() {
  HANDLE h = Handle();
  if (!h) return;
  DeviceIoControl(h, IOCTL_SERVICE_STOP, nullptr, 0, nullptr, 0, nullptr, nullptr);
  CloseHandle(h);
}
