// The stream entry points of the virtual port and the life of the reader thread.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include "driver_internal.h"
#include "port_report.h"
#include "channels.h"
#include "clock_feed.h"
#include "location_store.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "port_driver/stream.h"
#include "support/log.h"

Channel g_Channels[kChannels];

namespace {

const char kVersion[] = "Driver Version 3.19";

struct TableLock {
  CRITICAL_SECTION cs;
  TableLock() { InitializeCriticalSection(&cs); }
} g_table;

// Orders the first open, the last close and the reader's going to sleep: a channel that is open
// always ends with a reader that is awake, and a first open never restarts a reader that is
// still running (its settings load would drop the handles of the open sources).
TableLock g_lifecycle;

void RestartLog(bool newFile) {
  SetLogName("FrxDriver");
  ReadLogSetting();
  LogLine(LOG_CRLF | (newFile ? LOG_NEWFILE : 0), "FerroxDriver Startup");
}

bool IsSet(HANDLE e) { return e && WaitForSingleObject(e, 0) == WAIT_OBJECT_0; }

// Calls inside each channel's read, write or I/O control (counted up under the channel lock, down
// under g_callsLock, which a close waits on).
LONG g_callsInside[kChannels];
std::mutex g_callsLock;
std::condition_variable g_callsLeft;

// Closes the channel to new calls, wakes the calls inside it and waits until they have left
// before its buffer is freed: a read that passed its open check must never write into a freed
// buffer.
void ReleaseChannel(int index) {
  Channel& c = g_Channels[index];
  LockChannels();
  HANDLE event = c.event;
  AtomicWrite(&c.flags, AtomicRead(&c.flags) & ~CHANNEL_OPEN);
  UnlockChannels();
  if (event) SetEvent(event);  // a read or a wait blocked on it returns
  {
    std::unique_lock<std::mutex> calls(g_callsLock);
    auto left = [index] { return AtomicRead(&g_callsInside[index]) == 0; };
    if (!g_callsLeft.wait_for(calls, std::chrono::seconds(1), left)) {
      ChannelLine(index, "Closing waits for a call inside");
      g_callsLeft.wait(calls, left);
    }
  }
  LockChannels();
  if (c.event) CloseHandle(c.event);
  free(c.buffer);
  memset(&c, 0, sizeof c);
  InterlockedDecrement(&g_Driver.OpenCount);
  UnlockChannels();
}

void RequestSleep() {
  if (!g_Driver.ReadThread) return;
  SetEvent(g_Driver.SleepRequestEvent ? g_Driver.SleepRequestEvent : g_Driver.ReadSleep);
}

}  // namespace

void LockLifecycle() { EnterCriticalSection(&g_lifecycle.cs); }
void UnlockLifecycle() { LeaveCriticalSection(&g_lifecycle.cs); }
void LockChannels() { EnterCriticalSection(&g_table.cs); }
void UnlockChannels() { LeaveCriticalSection(&g_table.cs); }

int ChannelIndex(DWORD handle) {
  if (handle < kFirstHandle || handle >= kFirstHandle + kChannels) return -1;
  int index = static_cast<int>(handle - kFirstHandle);
  LockChannels();
  bool open = AtomicRead(&g_Channels[index].flags) & CHANNEL_OPEN;
  UnlockChannels();
  return open ? index : -1;
}

namespace {

// A call inside an open channel, for as long as it lasts: closing the channel waits for it.
class ChannelCall {
 public:
  explicit ChannelCall(DWORD handle) {
    if (handle < kFirstHandle || handle >= kFirstHandle + kChannels) return;
    int index = static_cast<int>(handle - kFirstHandle);
    LockChannels();
    if (AtomicRead(&g_Channels[index].flags) & CHANNEL_OPEN) {
      InterlockedIncrement(&g_callsInside[index]);
      index_ = index;
    }
    UnlockChannels();
  }
  ~ChannelCall() {
    if (index_ < 0) return;
    std::lock_guard<std::mutex> calls(g_callsLock);
    if (InterlockedDecrement(&g_callsInside[index_]) == 0) g_callsLeft.notify_all();
  }
  int index() const { return index_; }

 private:
  int index_ = -1;
};

}  // namespace

void ChannelLine(int index, const char* text) { LogPrintf(LOG_TAB, "Channel: %d, %s\r\n", index + 1, text); }

LONG g_FixSequence;

void SignalChannels() {
  InterlockedIncrement(&g_FixSequence);  // before the events: a reader that reset one sees it
  LockChannels();
  for (Channel& c : g_Channels)
    if ((AtomicRead(&c.flags) & CHANNEL_OPEN) && c.event) SetEvent(c.event);
  UnlockChannels();
}

void CloseReaderHandles() {
  HANDLE* handles[] = {&g_Driver.ScanThread, &g_Driver.ReadThread, &g_Driver.PollEvent, &g_Driver.WakeEvent,
                       &g_Driver.InitDoneEvent, &g_Driver.SleepRequestEvent, &g_Driver.ReadSleep};
  for (HANDLE* h : handles) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
  }
  CloseAllSources();
}

int CreateReader() {
  CloseReaderHandles();
  HANDLE* events[] = {&g_Driver.PollEvent, &g_Driver.WakeEvent, &g_Driver.InitDoneEvent, &g_Driver.SleepRequestEvent,
                      &g_Driver.ReadSleep};
  for (HANDLE* e : events) {
    *e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!*e) {
      CloseReaderHandles();
      LogLine(LOG_CRLF, "Can Not Create Read Handles");
      return 0;
    }
  }
  g_Driver.ReadThread = CreateThread(nullptr, 0, ReaderThread, nullptr, 0, nullptr);
  if (!g_Driver.ReadThread || WaitForSingleObject(g_Driver.ReadThread, 100) != WAIT_TIMEOUT) {
    CloseReaderHandles();
    LogLine(LOG_CRLF, "Can Not Create Read Thread");
    return 0;
  }
  return 1;
}

void WakeReader() {
  if (!g_Driver.ReadThread) {
    LogLine(LOG_CRLF | LOG_FLUSH, "Create a new Reader Thread, on Port Open");
    CreateReader();
    if (!g_Driver.ReadThread) return;
  }
  ResetEvent(g_Driver.PollEvent);
  ResetEvent(g_Driver.SleepRequestEvent);
  ResetEvent(g_Driver.ReadSleep);
  ResetEvent(g_Driver.InitDoneEvent);
  SetEvent(g_Driver.WakeEvent);
}

int StartReader() {
  if (IsSet(g_Driver.SleepRequestEvent)) {
    WakeReader();  // still within KeepAlive: the source and the settings stay
    return 1;
  }
  LoadDriverSettings(false);
  AtomicWrite(&g_Driver.RemoteCommand, REMOTE_NONE);
  AtomicWrite(&g_Driver.SourceCorrections, 1);  // until a source is chosen
  ResetFixHistory();
  memset(&g_Driver.InputFix, 0, sizeof g_Driver.InputFix);
  memset(&g_Driver.OutputFix, 0, sizeof g_Driver.OutputFix);
  g_Driver.ErrorCount = 0;
  WakeReader();
  return g_Driver.ReadThread && WaitForSingleObject(g_Driver.ReadThread, 100) == WAIT_TIMEOUT;
}

void StopReader() {
  SetEvent(g_Driver.PollEvent);
  LONG current = AtomicRead(&g_Driver.CurrentPort);
  if (current >= 1 && SourceHandle(current)) AbortPortWait(current);
  // A port under test blocks the reader as well: its wait is ended too, so the reader always
  // ends by itself and the forced path stays a report.
  LONG test = AtomicRead(&g_Driver.TestPort);
  if (test >= 1 && SourceHandle(test)) AbortPortWait(test);
  if (g_Driver.ReadThread && WaitForSingleObject(g_Driver.ReadThread, 2000) != WAIT_OBJECT_0) {
    LogLine(LOG_CRLF | LOG_FLUSH, "ReadThread forced Closed");
    TerminateThread(g_Driver.ReadThread, 0);
  }
  CloseReaderHandles();
}

extern "C" {

DWORD COM_Init(LPCWSTR context, const void*) {
  RestartLog(true);
  LogPrintf(0, "Comm Init: %s\r\n", kVersion);
  LoadAllSettings(context);
  LoadClockFeed();
  AtomicWrite(&g_Driver.OpenCount, 0);
  LockChannels();
  memset(g_Channels, 0, sizeof g_Channels);
  UnlockChannels();
  AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
  AtomicWrite(&g_Driver.UseNewPort, PORT_NONE);
  AtomicWrite(&g_Driver.TestPort, PORT_NONE);
  ClearPortReports();
  CreateReader();
  LogLine(LOG_CLOSE | LOG_CRLF, "Comm Init End");
  return kDeviceContext;
}

BOOL COM_Deinit(DWORD context) {
  RestartLog(false);
  LogLine(LOG_CRLF, "Comm DeInit");
  if (context != kDeviceContext) {
    LogLine(LOG_CRLF, "False DeInit");
    return 0;
  }
  for (DWORD h = kFirstHandle + kChannels - 1; h >= kFirstHandle; --h) COM_Close(h);
  if (g_Driver.ReadThread) SetEvent(g_Driver.ReadSleep);
  StopReader();
  FlushGpsLocation();
  EndSensorThread();
  CloseSerialStates();
  LogLine(LOG_CLOSE | LOG_CRLF, "Comm DeInit End");
  return 1;
}

DWORD COM_Open(DWORD context, DWORD, DWORD) {
  LockLifecycle();  // two first opens at once: one restarts the log and the reader
  if (AtomicRead(&g_Driver.OpenCount) == 0) {
    RestartLog(true);
    LogLine(LOG_CRLF, kVersion);
  }
  if (context != kDeviceContext) {
    UnlockLifecycle();
    LogLine(LOG_TAB | LOG_CRLF, "False Open");
    return 0;
  }
  LockChannels();
  int index = -1;
  for (int i = 0; i < kChannels && index < 0; ++i)
    if (!(g_Channels[i].flags & CHANNEL_OPEN)) index = i;
  if (index < 0) {
    UnlockChannels();
    UnlockLifecycle();
    LogLine(LOG_TAB | LOG_CRLF, "Open Too Many Ports");
    return 0;
  }
  Channel& c = g_Channels[index];
  memset(&c, 0, sizeof c);
  c.buffer = static_cast<char*>(calloc(1, kChannelBufferSize));
  if (!c.buffer) {
    UnlockChannels();
    UnlockLifecycle();
    ChannelLine(index, "No Memory for Buffer");
    return 0;
  }
  c.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  AtomicWrite(&c.flags, CHANNEL_OPEN);
  LONG before = InterlockedIncrement(&g_Driver.OpenCount) - 1;
  UnlockChannels();
  ChannelLine(index, "Opening...");
  if (before == 0 && !StartReader()) {
    ReleaseChannel(index);
    UnlockLifecycle();
    ChannelLine(index, "Prime Reader Port Can not Open");
    LogLine(LOG_CLOSE | LOG_CRLF, "Read Thread Can Not Start");
    return 0;
  }
  UnlockLifecycle();
  ChannelLine(index, "Opened");
  return kFirstHandle + static_cast<DWORD>(index);
}

BOOL COM_Close(DWORD handle) {
  int index = ChannelIndex(handle);
  if (index < 0) {
    ChannelLine(static_cast<int>(handle - kFirstHandle), "False Close");
    return 0;
  }
  ChannelLine(index, "Closing");
  LockLifecycle();
  ReleaseChannel(index);
  if (AtomicRead(&g_Driver.OpenCount) == 0) {
    LogLine(LOG_TAB | LOG_CRLF, "Close Read Channel");
    RequestSleep();
  }
  UnlockLifecycle();
  ChannelLine(index, "Closed");
  return 0;
}

DWORD COM_Read(DWORD handle, LPVOID buffer, DWORD count) {
  ChannelCall call(handle);
  int index = call.index();
  if (index < 0) {
    ChannelLine(static_cast<int>(handle - kFirstHandle), "False Read");
    return 0;
  }
  if (!buffer) return 0;
  return ChannelRead(index, static_cast<BYTE*>(buffer), count);
}

DWORD COM_Write(DWORD handle, const void* data, DWORD count) {
  ChannelCall call(handle);
  int index = call.index();
  if (index < 0) {
    ChannelLine(static_cast<int>(handle - kFirstHandle), "False Write");
    return 0;
  }
  if (!data) return 0;
  const char* bytes = static_cast<const char*>(data);
  size_t length = strnlen(bytes, count);
  if (length == strlen(DRIVER_COMMAND_RELOAD) && memcmp(bytes, DRIVER_COMMAND_RELOAD, length) == 0) {
    AtomicWrite(&g_Driver.RemoteCommand, REMOTE_RELOAD);
    return kCommandAccepted;
  }
  if (length == strlen(DRIVER_COMMAND_CALIB) && memcmp(bytes, DRIVER_COMMAND_CALIB, length) == 0) {
    AtomicWrite(&g_Driver.RemoteCommand, REMOTE_CALIB);
    return kCommandAccepted;
  }
  LONG current = AtomicRead(&g_Driver.CurrentPort);
  if (current >= 1 && SourceHandle(current)) {
    ChannelLine(index, "Write data, passthrough");
    DWORD written = 0;
    WriteFile(SourceHandle(current), data, count, &written, nullptr);
    return written;
  }
  return count;
}

DWORD COM_Seek(DWORD, LONG amount, WORD type) {
  LogPrintf(LOG_TAB, "Seek Amount=%u, Type=%u\r\n", static_cast<DWORD>(amount), static_cast<DWORD>(type));
  return 0;
}

BOOL COM_IOControl(DWORD handle, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual) {
  ChannelCall call(handle);
  int index = call.index();
  if (index < 0) {
    ChannelLine(static_cast<int>(handle - kFirstHandle), "False IO Control");
    return FALSE;
  }
  LogPrintf(LOG_TAB, "Channel: %d, IOControl code=%X: %s\r\n", index + 1, code, IoControlName(code));
  BOOL result = SerialIoControl(index, code, in, inLength, out, outLength, actual);
  LogPrintf(LOG_TAB | LOG_VERBOSE, "Return %d, GotLen=%u of %u, pBufOut=%08X, Dword=%u\r\n", result,
            actual ? *actual : 1234u, outLength, static_cast<DWORD>(reinterpret_cast<uintptr_t>(out)),
            out && outLength ? static_cast<DWORD>(out[0]) : 1234u);
  return result;
}

void COM_PowerUp(DWORD) {
  if (AtomicRead(&g_Driver.OpenCount) > 0) WakeReader();
}

void COM_PowerDown(DWORD) {
  if (AtomicRead(&g_Driver.OpenCount) > 0) RequestSleep();
}

}  // extern "C"
