// The service's entry points and its I/O control codes.
#include "cell_service/service_entry.h"
#include <cstring>
#include "cell_service/cell_db.h"
#include "cell_service/record_file.h"
#include "platform/service_ioctl.h"
#include "service_internal.h"
#include <string>
#include "support/log.h"
#include "support/reg_helpers.h"

namespace {

constexpr LPCWSTR kRegistration = u"Services\\Towerkin";
constexpr LPCWSTR kDriverKey = u"Software\\Quorvale\\FerroxDriver";
constexpr LPCWSTR kCellKey = u"Software\\Quorvale\\CellTower";
const char kVersion[] = "Driver Version 3.19";

BOOL FailureExit() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

void ReadLogLevel() {
  HKEY key;
  DWORD level = 0;
  if (OpenKey(kDriverKey, &key) == ERROR_SUCCESS) {
    ReadDword(key, u"EnableLogs", &level);
    RegCloseKey(key);
  }
  LogSetEnable(level);
}

// "Keep" 0 and "Flags" 8: the services manager does not load the service at the next start.
BOOL SetNotToLoad() {
  HKEY key;
  if (CreateKey(kRegistration, &key) != ERROR_SUCCESS) return FALSE;
  LogLine(LOG_CRLF, "Setting Service to Not Load");
  WriteDword(key, u"Keep", 0);
  WriteDword(key, u"Flags", 8);
  RegCloseKey(key);
  return TRUE;
}

BOOL Install() {
  HKEY key;
  if (CreateKey(kRegistration, &key) != ERROR_SUCCESS) return FALSE;
  LogLine(LOG_CRLF, "Setting Service to AutoLoad");
  WCHAR dll[128];
  if (ReadValue(key, u"Dll", dll, sizeof dll) != ERROR_SUCCESS) WriteString(key, u"Dll", u"Towerkin.dll");
  WriteDword(key, u"Context", 0);
  WriteDword(key, u"Order", 30);
  WriteDword(key, u"Index", 1);
  WriteString(key, u"Prefix", u"TWK");
  WriteDword(key, u"Keep", 1);
  WriteString(key, u"Description", u"Cell Tower Location");
  WriteString(key, u"DisplayName", u"Quorvale Cell Service");
  WriteDword(key, u"Flags", 0);
  RegCloseKey(key);
  return TRUE;
}

void RemoveDatabaseFiles() {
  LockCellData();
  CloseCellDb();
  FileNode* list = RecList("\\Quorvale\\*.dbc");
  for (FileNode* f = list; f; f = f->next) {
    LogPrintf(LOG_CRLF, "Removing: %s", f->name);
    RecRemove((std::string("\\Quorvale\\") + f->name).c_str());
  }
  RecFreeList(list);
  UnlockCellData();
}

BOOL Start() {
  ReadCellSettings();
  StartRadioWatch(false);
  if (RadioHandleHeld()) {
    g_Running = 1;
    return TRUE;
  }
  g_Running = 0;
  return FailureExit();
}

BOOL Stop() {
  StopRadioWatch(false);
  g_Running = RadioHandleHeld() ? 1 : 0;
  return g_Running ? FailureExit() : TRUE;
}

BOOL Control(const BYTE* in, DWORD inLength) {
  if (!in || inLength < sizeof(DWORD)) {
    ExportTowerMap();
    return TRUE;
  }
  DWORD command;
  memcpy(&command, in, sizeof command);
  if (command == kControlMapTowers) {
    LogLine(LOG_CRLF | LOG_TAB, "Map Towers");
    ExportTowerMap();
  } else if (command == kControlMapAllTowers) {
    LogLine(LOG_CRLF | LOG_TAB, "Map Towers With Imported Cells");
    ExportTowerMap();
    ExportImportedMap();
  } else if (command == kControlUpdateDb) {
    LogLine(LOG_CRLF | LOG_TAB, "Update DB");
    UpdateCellDatabase();
  }
  return TRUE;
}

BOOL Status(BYTE* out, DWORD outLength, DWORD* actual) {
  if (!out || outLength < sizeof(DWORD)) {
    if (actual) *actual = 0;
    return FailureExit();
  }
  DWORD running = static_cast<DWORD>(g_Running.load());
  memcpy(out, &running, sizeof running);
  if (actual) *actual = sizeof running;
  ReadLogLevel();
  return TRUE;
}

BOOL Uninstall() {
  StopRadioWatch(false);
  LogLine(LOG_CRLF, "Uninstalling Service, kill registry");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRegistration);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kCellKey);
  RemoveDatabaseFiles();
  return TRUE;
}

BOOL Unload() {
  StopRadioWatch(false);
  return SetNotToLoad() ? TRUE : FailureExit();
}

struct ServiceCodeEntry {
  DWORD code;
  const char* name;
};

// The codes with the name each is logged by; any other is "Unknown".
const ServiceCodeEntry kCodes[] = {
    {IOCTL_SERVICE_START, "Start"},
    {IOCTL_SERVICE_STOP, "Stop"},
    {IOCTL_SERVICE_REFRESH, "Refresh"},
    {IOCTL_SERVICE_INSTALL, "Install"},
    {IOCTL_SERVICE_UNINSTALL, "Uninstall"},
    {IOCTL_SERVICE_UNLOAD, "Unload"},
    {IOCTL_SERVICE_CONTROL, "Control"},
    {IOCTL_SERVICE_STATUS, "Status"},
    {IOCTL_SERVICE_DEBUG, "Debug"},
    {IOCTL_SERVICE_CONSOLE, "Console"},
    {IOCTL_SERVICE_REGISTER_SOCKADDR, "Register SockAddr"},
    {IOCTL_SERVICE_DEREGISTER_SOCKADDR, "DeRegister SockAdr"},
    {IOCTL_SERVICE_CONNECTION, "Connection"},
    {IOCTL_SERVICE_STARTED, "Started"},
    {IOCTL_SERVICE_CAN_DEINIT, "Can Deinit"},
    {IOCTL_SERVICE_NOTIFY_ADDR_CHANGE, "Notify Address Change"},
    {IOCTL_SERVICE_CALLBACK_FUNCTIONS, "Callback Functions"},
    {IOCTL_SERVICE_SUPPORTED_OPTIONS, "Supported Options"},
    {IOCTL_SERVICE_COMMAND_LINE, "Command Line"},
    {IOCTL_SERVICE_HELP, "Help"},
};

const char* CodeName(DWORD code) {
  for (const auto& c : kCodes)
    if (c.code == code) return c.name;
  return "Unknown";
}

BOOL Dispatch(DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual) {
  switch (code) {
    case IOCTL_SERVICE_START: return Start();
    case IOCTL_SERVICE_STOP: return Stop();
    case IOCTL_SERVICE_REFRESH:
      StopRadioWatch(false);
      return Start();
    case IOCTL_SERVICE_INSTALL: return Install() ? TRUE : FailureExit();
    case IOCTL_SERVICE_UNINSTALL: return Uninstall();
    case IOCTL_SERVICE_UNLOAD: return Unload();
    case IOCTL_SERVICE_CONTROL: return Control(in, inLength);
    case IOCTL_SERVICE_STATUS: return Status(out, outLength, actual);
    case IOCTL_SERVICE_STARTED: return TRUE;
    default: return FailureExit();
  }
}

}  // namespace

extern "C" {

DWORD TWK_Init(LPCWSTR, const void*) {
  ReadLogLevel();
  SetLogName("Towerkin");
  LogLine(LOG_CRLF | LOG_NEWFILE, kVersion);
  ResetRadioState();
  ReadCellSettings();
  if (g_Cells.EnableCells != 0) StartRadioWatch(false);
  else SetNotToLoad();
  LogLine(LOG_CRLF | LOG_CLOSE, "TKW Init End");
  return kServiceContext;
}

BOOL TWK_Deinit(DWORD context) {
  if (context != kServiceContext) {
    LogLine(LOG_CRLF, "False DeInit");
    return FALSE;
  }
  StopRadioWatch(false);
  LogLine(LOG_CRLF | LOG_CLOSE, "TWK DeInit End");
  return TRUE;
}

DWORD TWK_Open(DWORD context, DWORD, DWORD) {
  if (context != kServiceContext) {
    LogLine(LOG_CRLF | LOG_TAB, "False Open");
    return 0;
  }
  LogLine(LOG_CRLF, "Opened");
  return kServiceHandle;
}

BOOL TWK_Close(DWORD handle) {
  if (handle == kServiceHandle) LogLine(LOG_CRLF | LOG_CLOSE, "Closed");
  else LogLine(LOG_CRLF | LOG_TAB, "False Close");
  return FALSE;
}

DWORD TWK_Read(DWORD handle, LPVOID, DWORD count) {
  if (handle == kServiceHandle) LogPrintf(0, "ComRead %d bytes\r\n", count);
  else LogLine(LOG_CRLF | LOG_TAB, "False Read");
  return 0;
}

DWORD TWK_Write(DWORD handle, const void*, DWORD count) {
  if (handle == kServiceHandle) LogPrintf(0, "ComWrite %d bytes\r\n", count);
  else LogLine(LOG_CRLF | LOG_TAB, "False Write");
  return 0;
}

DWORD TWK_Seek(DWORD handle, LONG amount, WORD) {
  if (handle == kServiceHandle) LogPrintf(0, "ComSeek %d bytes\r\n", amount);
  else LogLine(LOG_CRLF | LOG_TAB, "False Seek");
  return 0;
}

BOOL TWK_IOControl(DWORD handle, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual) {
  if (handle != kServiceHandle && handle != kServiceContext)
    LogPrintf(LOG_CRLF | LOG_TAB, "False IOControl %x", handle);
  LogPrintf(LOG_TAB, "IOControl code=%X (%s)\r\n", code, CodeName(code));
  BOOL result = Dispatch(code, in, inLength, out, outLength, actual);
  LogPrintf(LOG_TAB | LOG_CLOSE, "IOControl return=%d\r\n", result ? 1 : 0);
  return result;
}

void TWK_PowerUp(DWORD) {
  ReadCellSettings();  // what changed while asleep (an import, a new MaxCells) counts from now
  StartRadioWatch(true);
  if (RadioHandleHeld()) g_Running = 1;
}

void TWK_PowerDown(DWORD) {
  StopRadioWatch(true);
  if (!RadioHandleHeld()) g_Running = 0;
}

}  // extern "C"
