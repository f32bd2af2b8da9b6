// Service I/O controls sent to the cell service.
#include "cell_control.h"
#include <cstdio>
#include "cell_service/service_entry.h"
#include "platform/platform.h"
#include "platform/service_ioctl.h"
#include "settings_store/settings.h"
#include "support/data_file.h"
#include "support/log.h"

namespace {

HANDLE OpenCellService() {
  LogLine(LOG_CRLF | LOG_VERBOSE, "Getting Cell Service Handle");
  HANDLE h = CreateFileW(CELL_SERVICE_DEVICE, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h && h != INVALID_HANDLE_VALUE) return h;
  h = GetServiceHandle(CELL_SERVICE_DEVICE, nullptr, nullptr);
  if (h && h != INVALID_HANDLE_VALUE) return h;
  LogLine(LOG_CRLF, "Get Cell Service Handle Failed");
  return nullptr;
}

// One control on a handle of its own; with no handle, `activate` starts the service by name.
int Control(DWORD code, DWORD* in, bool activate) {
  HANDLE h = OpenCellService();
  if (!h) return activate && ActivateService(CELL_SERVICE_NAME, 0) != nullptr;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(h, code, in, in ? sizeof *in : 0, nullptr, 0, &returned, nullptr);
  CloseHandle(h);
  return ok ? 1 : 0;
}

}  // namespace

int CellServiceExport() {
  DWORD command = kControlMapTowers;
  return Control(IOCTL_SERVICE_CONTROL, &command, false);
}

int CellServiceExportWithImported() {
  DWORD command = kControlMapAllTowers;
  return Control(IOCTL_SERVICE_CONTROL, &command, false);
}

int CellServiceUpdate() {
  DWORD command = kControlUpdateDb;
  return Control(IOCTL_SERVICE_CONTROL, &command, false);
}

int CellServiceRefresh() { return Control(IOCTL_SERVICE_REFRESH, nullptr, true); }
int CellServiceStart() { return Control(IOCTL_SERVICE_START, nullptr, true); }
int CellServiceStop() { return Control(IOCTL_SERVICE_STOP, nullptr, false); }

DWORD CellServiceStatus() {
  HANDLE h = OpenCellService();
  if (!h) return 0;
  DWORD status = 0, returned = 0;
  if (!DeviceIoControl(h, IOCTL_SERVICE_STATUS, nullptr, 0, &status, sizeof status, &returned, nullptr)) status = 0;
  CloseHandle(h);
  return status;
}

DWORD CellServiceToggle() {
  if (CellServiceStatus()) CellServiceStop();
  else CellServiceStart();
  return CellServiceStatus();
}

DWORD KillCellService() {
  LogLine(LOG_CRLF, "Killing Cell Service");
  HANDLE h = OpenCellService();
  if (!h) return CellServiceStatus();
  DWORD returned = 0;
  if (!DeviceIoControl(h, IOCTL_SERVICE_STOP, nullptr, 0, nullptr, 0, &returned, nullptr))
    LogLine(LOG_CRLF, "Service Stop Failed");
  if (!DeviceIoControl(h, IOCTL_SERVICE_UNINSTALL, nullptr, 0, nullptr, 0, &returned, nullptr))
    LogLine(LOG_CRLF, "Service Uninstall Failed");
  LogLine(LOG_CRLF, "Deregister Service");
  if (!DeregisterService(h)) LogLine(LOG_CRLF, "Deregister Service Failed");
  CloseHandle(h);
  return CellServiceStatus();
}

void RemoveAltitudeTable() {
  WCHAR path[MAX_PATH];
  FILE* f = OpenDataFile(path, "AltitudeTable_1.RAW", TRUE);
  if (f) {
    fclose(f);
    DeleteFileW(path);
  }
  DeleteFileW(u"\\Windows\\AltitudeTable_1.RAW");
  g_System.EnableAltSep = 0;  // stored with the next save
}
