// The reader thread and the status it shares with the window and the calibration.
#include "status_reader.h"
#include <cstring>
#include <mutex>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/log.h"

namespace {

constexpr DWORD kReopenMs = 1000;

StatusSnapshot InitialStatus() {
  StatusSnapshot s;
  memset(&s, 0, sizeof s);
  ClearStatusLines(&s.status);
  return s;
}

std::mutex g_lock;  // the status, the readings, the port handle
StatusSnapshot g_status = InitialStatus();
int g_freshReading = 0;
HANDLE g_readingEvent = nullptr;
HANDLE g_port = nullptr;
HANDLE g_stop = nullptr;
HANDLE g_thread = nullptr;
void (*g_listener)(void*) = nullptr;
void* g_listenerContext = nullptr;

void Notify() {
  void (*listener)(void*);
  void* context;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    listener = g_listener;
    context = g_listenerContext;
  }
  if (listener) listener(context);
}

void SetPortOpen(HANDLE port) {
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_port = port;
    g_status.portOpen = port != nullptr;
  }
  Notify();
}

// Reads records until the read fails or the reader is stopped.
void ReadRecords(HANDLE port, HANDLE stop) {
  while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
    LogLine(LOG_CRLF | LOG_VERBOSE, "Read Raw Data");
    FixRecord raw;
    DWORD got = 0;
    if (!ReadFile(port, &raw, sizeof raw, &got, nullptr)) {
      LogPrintf(LOG_CRLF, "Read Raw Data Failed: %u", static_cast<unsigned>(GetLastError()));
      return;
    }
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Read %d Bytes (of %d)", static_cast<int>(got), static_cast<int>(sizeof raw));
    if (got != sizeof raw || raw.Version != 1) continue;
    LogLine(LOG_CRLF | LOG_VERBOSE, "Raw data OK");
    AcceptStatusRecord(raw);
    Notify();
  }
}

DWORD ReaderThread(LPVOID param) {
  HANDLE stop = param;
  LogLine(LOG_CRLF, "Started Background Reading Thread");
  WCHAR port[8];
  {
    std::lock_guard<std::mutex> lock(g_lock);
    memcpy(port, g_status.port, sizeof port);
  }
  DWORD lastError = 0xFFFFFFFFu;
  while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
    HANDLE h = CreateFileW(port, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error != lastError) {  // once per outage: the reader tries every second
        LogPrintf(LOG_CRLF, "Open Port %s Error: %u", Utf8Of(port).text, static_cast<unsigned>(error));
        LogLine(LOG_CRLF, "Open port Failed");
        lastError = error;
      }
      WaitForSingleObject(stop, kReopenMs);
      continue;
    }
    lastError = 0xFFFFFFFFu;
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {  // stopped while opening
        CloseHandle(h);
        break;
      }
    }
    LogPrintf(LOG_CRLF, "Opened Port %s", Utf8Of(port).text);
    SetPortOpen(h);
    ReadRecords(h, stop);
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (g_port) CloseHandle(g_port);  // else the stop closed it to end the read
      g_port = nullptr;
      g_status.portOpen = 0;
    }
    Notify();
    WaitForSingleObject(stop, kReopenMs);
  }
  LogLine(LOG_CRLF, "Stopped Background Reading Thread");
  return 0;
}

}  // namespace

int StartStatusReader() {
  if (g_thread) return 1;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    static_assert(sizeof g_status.port == sizeof g_System.OwnPortName);
    memcpy(g_status.port, g_System.OwnPortName, sizeof g_status.port);
    g_status.records = 0;
  }
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stop) return 0;
  g_thread = CreateThread(nullptr, 0, ReaderThread, g_stop, 0, nullptr);
  if (!g_thread) {
    CloseHandle(g_stop);
    g_stop = nullptr;
    return 0;
  }
  return 1;
}

int StopStatusReader(const char* forcedLine) {
  if (!g_thread) return 1;
  SetEvent(g_stop);
  DWORD limit = 2 * g_System.SleepTime;
  int inTime = WaitForSingleObject(g_thread, limit) == WAIT_OBJECT_0;
  if (!inTime) {
    // The read is blocked in the driver: closing the port ends it.
    LogLine(LOG_CRLF, forcedLine);
    {
      std::lock_guard<std::mutex> lock(g_lock);
      if (g_port) CloseHandle(g_port);
      g_port = nullptr;
    }
    WaitForSingleObject(g_thread, INFINITE);
  }
  CloseHandle(g_thread);
  CloseHandle(g_stop);
  g_thread = nullptr;
  g_stop = nullptr;
  LogLine(LOG_CRLF, "Read Thread Closed");
  {
    std::lock_guard<std::mutex> lock(g_lock);
    g_status.portOpen = 0;
  }
  return inTime;
}

int StatusReaderRunning() { return g_thread != nullptr; }

void ReadStatusSnapshot(StatusSnapshot* out) {
  std::lock_guard<std::mutex> lock(g_lock);
  *out = g_status;
}

void SetStatusListener(void (*listener)(void*), void* context) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_listener = listener;
  g_listenerContext = context;
}

void AcceptStatusRecord(const FixRecord& raw) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_status.record = raw;
  g_status.haveRecord = 1;
  DecodeStatusRecord(&g_status.record, &g_status.status);
  ++g_status.records;
  g_freshReading = g_status.status.compassReading > -0.5 && g_status.status.haveCourse;
  if (g_readingEvent) SetEvent(g_readingEvent);
}

void SetReadingEvent(HANDLE event) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_readingEvent = event;
}

int TakeCalibrationReading(double* compass, double* course, BYTE* orientation) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_freshReading) return 0;
  *compass = g_status.status.compassReading;
  *course = g_status.status.gpsCourse;
  *orientation = g_status.status.orientation;
  g_freshReading = 0;
  return 1;
}

void PeekCalibrationReading(double* compass, double* course, BYTE* orientation) {
  std::lock_guard<std::mutex> lock(g_lock);
  *compass = g_status.status.compassReading;
  *course = g_status.status.gpsCourse;
  *orientation = g_status.status.orientation;
}

void ClearCalibrationReading() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_freshReading = 0;
}

int AdoptDriverProfile(const StatusSnapshot& snapshot, bool pageOpen) {
  BYTE n = snapshot.record.ProfileNumber;
  if (!snapshot.haveRecord || (n != 1 && n != 2) || n == g_System.CurrentProfile) return 0;
  if (pageOpen) return 0;  // the page shows the old profile's values: taken once it closes
  g_System.CurrentProfile = n;
  LoadProfile(n);  // the values of the new profile, so a later save never writes the old one's into it
  return 1;
}
