// The reader thread: waits until a channel is open, finds a source, reads fix after fix, runs
// the correction stage, signals the channels, carries out "Reload" and "Calib:", and sleeps
// when the last channel has been closed for KeepAlive ms.
#include <cstring>
#include "driver_internal.h"
#include "sensor_internal.h"
#include "channels.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "port_driver/fix_pipeline.h"
#include "location_store.h"
#include "settings_store/settings.h"
#include "track_log.h"
#include "support/clock.h"
#include "support/cell_flags.h"
#include "support/log.h"

namespace {

bool IsSet(HANDLE e) { return e && WaitForSingleObject(e, 0) == WAIT_OBJECT_0; }

// Going to sleep; returns true when the thread must end.
bool GoToSleep(DWORD* keepAliveDeadline) {
  struct Held {
    Held() { LockLifecycle(); }
    ~Held() { UnlockLifecycle(); }
  } held;  // no open or close while the reader goes to sleep
  *keepAliveDeadline = 0;
  SetEvent(g_Driver.ReadSleep);
  StopSensorThread();
  StopScanThread();
  AtomicWrite(&g_Driver.RemoteCommand, REMOTE_NONE);
  CloseSource(AtomicRead(&g_Driver.CurrentPort));
  AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
  CloseAllSources();
  CloseTrackLogs();
  FlushGpsLocation();
  if (ReadEnableCells() & CELLS_WITH_GPS_ONLY) StopCellService();
  if (IsSet(g_Driver.PollEvent)) return true;
  ResetEvent(g_Driver.InitDoneEvent);
  ResetEvent(g_Driver.WakeEvent);
  ResetEvent(g_Driver.ReadSleep);
  PublishHomeStatus("Sleeping");
  LogLine(LOG_CRLF | LOG_CLOSE, "FerroxDriver Sleeping...");  // the log is not held open asleep
  return false;
}

void RunRemoteCommand() {
  LONG command = AtomicRead(&g_Driver.RemoteCommand);
  if (command == REMOTE_NONE) return;
  LogLine(LOG_CRLF, "Reloading Registry by Remote request");
  if (command == REMOTE_RELOAD) {
    StopSensorThread();
    StopScanThread();
    CloseSource(AtomicRead(&g_Driver.CurrentPort));
    AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
    CloseAllSources();
    if (AtomicRead(&g_Driver.OpenCount) > 0) {
      LoadDriverSettings(false);
      AtomicWrite(&g_Driver.SourceCorrections, 1);  // until a source is chosen
      ResetEvent(g_Driver.InitDoneEvent);
    }
  } else if (command == REMOTE_CALIB) {
    LoadDriverSettings(true);
    PublishSensorSettings();  // the sensor thread runs on: it takes the new values as one copy
    // A source whose port entry has no correction flag keeps them off.
    ApplySourceCorrections(AtomicRead(&g_Driver.CurrentPort));
  }
  AtomicWrite(&g_Driver.RemoteCommand, REMOTE_NONE);
}

}  // namespace

void CloseAllSources() {
  for (int i = 0; i < kSourcePorts; ++i)
    if (SourceHandle(i)) CloseSource(i);
}

int ProcessOneFix(int n) {
  FixRecord& input = g_Driver.InputFix;
  if (n < 1) n = RealReadABuffer(AtomicRead(&g_Driver.CurrentPort), &input, false);
  if (n <= 0) FlushGpsLocation();  // no fix read: the last one is not held back
  if (n < 0) return -1;
  if (n == 0) {
    if (g_System.EnableTrack > 1) WriteTrackPoint(&input, TRACK_IN);
    if (g_Profile.EnableDop) ClampDops(&input);
    return 0;
  }
  ProcessParsedFix(&input);
  SignalChannels();
  StoreFixPosition(&input);
  return n;
}

DWORD ReaderThread(LPVOID) {
  DWORD keepAlive = 0;
  HANDLE waits[4] = {g_Driver.PollEvent, g_Driver.ReadSleep, g_Driver.SleepRequestEvent, g_Driver.WakeEvent};
  for (;;) {
    DWORD r = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) {
      if (GoToSleep(&keepAlive)) return 0;
      continue;
    }
    if (r == WAIT_OBJECT_0 + 2) {
      if (keepAlive == 0) {
        keepAlive = GetTickCount() + g_System.KeepAlive;
      } else if (static_cast<LONG>(GetTickCount() - keepAlive) >= 0) {
        LockLifecycle();
        if (IsSet(g_Driver.SleepRequestEvent)) {  // still asked for: no open woke the reader meanwhile
          ResetEvent(g_Driver.SleepRequestEvent);
          SetEvent(g_Driver.ReadSleep);
        }
        UnlockLifecycle();
        continue;
      }
    } else if (r != WAIT_OBJECT_0 + 3) {
      return 0;  // the driver's events are gone: the driver was unloaded without this thread
    }
    if (!IsSet(g_Driver.SleepRequestEvent)) {
      keepAlive = 0;
      if (AtomicRead(&g_Driver.OpenCount) == 0) {
        LogLine(LOG_CRLF | LOG_FLUSH, "No ports open, but Wake is active");
        ResetEvent(g_Driver.InitDoneEvent);
        ResetEvent(g_Driver.WakeEvent);
        SetEvent(g_Driver.ReadSleep);
        continue;
      }
    }
    if (!IsSet(g_Driver.InitDoneEvent)) {
      ResyncClock();
      StartSensorThread();
      StartScanThread();
      SetEvent(g_Driver.InitDoneEvent);
      if ((ReadEnableCells() & CELLS_WITH_GPS_ONLY) && !CellServiceRunning()) StartCellService();
    }
    LONG next = AtomicRead(&g_Driver.UseNewPort);
    if (next >= 0) {
      SwitchPorts(next);
      AtomicWrite(&g_Driver.UseNewPort, PORT_NONE);
    }
    int bytes = 0;
    if (AtomicRead(&g_Driver.CurrentPort) == PORT_NONE) {
      if (keepAlive == 0) {
        LogLine(LOG_CRLF, "Reader Thread Looking for a port\r\n");
        bytes = LookForPort();
        if (AtomicRead(&g_Driver.CurrentPort) < 0) {
          AtomicWrite(&g_Driver.CurrentPort, PORT_NOT_FOUND);
          LogLine(LOG_CRLF, "No Valid Ports Are found\r\n");
        }
      } else {
        keepAlive = GetTickCount() - 1;  // no source during the keep-alive time: sleep at once
        continue;
      }
    }
    if (AtomicRead(&g_Driver.CurrentPort) == PORT_NOT_FOUND) {
      // A receiver plugged in meanwhile is looked for at once, not at the next scan.
      HANDLE waits[2] = {g_Driver.ReadSleep, PlatformSerialArrivalEvent()};
      if (WaitForMultipleObjects(2, waits, FALSE, g_System.SleepTime) == WAIT_OBJECT_0 + 1) {
        LogLine(LOG_CRLF, "A Receiver Was Plugged In");
        AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
        continue;
      }
    }
    if (AtomicRead(&g_Driver.CurrentPort) >= 0) {
      if (ProcessOneFix(bytes) == -1) {
        CloseSource(AtomicRead(&g_Driver.CurrentPort));
        AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
      }
    }
    RunRemoteCommand();
  }
}
