// Finding a source: the port test in scan order, switching the current source, and the scan
// thread that looks every 30 s for a source of higher priority.
#include <cstring>
#include "driver_internal.h"
#include "port_report.h"
#include "port_driver/driver_state.h"
#include "geoid.h"
#include "settings_store/settings.h"
#include "support/log.h"

namespace {

constexpr DWORD kScanPeriodMs = 30000;
constexpr DWORD kVerifyMs = 30000;
constexpr DWORD kScanStopMs = 10000;
constexpr int kTestReads = 5;

volatile LONG g_scanRunning = 0;

bool IsSet(HANDLE e) { return e && WaitForSingleObject(e, 0) == WAIT_OBJECT_0; }

// The reader (searching for a source) and the scan thread test ports at the same time: each has
// its own slot naming the port its blocked read may have to be ended on, and a port is claimed
// before it is opened, so that the two never open one port twice.
volatile LONG g_ScanTestPort = -1;
thread_local bool t_scanThread = false;
volatile LONG g_claimed[kSourcePorts];

volatile LONG* TestSlot() { return t_scanThread ? &g_ScanTestPort : &g_Driver.TestPort; }

bool Candidate(const SourcePort& p, int i) {
  return (p.flags & PORT_ENABLED) && !(p.flags & PORT_OWN) && !SourceHandle(i) && AtomicRead(&g_claimed[i]) == 0;
}

struct Claim {
  int index;
  bool held;
  explicit Claim(int i) : index(i), held(InterlockedCompareExchange(&g_claimed[i], 1, 0) == 0) {}
  ~Claim() {
    if (held) AtomicWrite(&g_claimed[index], 0);
  }
};

// Tests one source; a positive count when it delivered a burst (it then stays open).
int TestPort(int index, FixRecord* test, bool* stop) {
  Claim claim(index);
  if (!claim.held) return 0;  // the other tester has it
  if (index > 0) {
    volatile LONG* slot = TestSlot();
    AtomicWrite(slot, index);
    int count = 0;
    if (OpenSerialSource(index) == SOURCE_OPENED) {
      for (int attempt = 0; attempt < kTestReads && !IsSet(g_Driver.ReadSleep); ++attempt) {
        int n = ReadWithWait(index, test);
        if (n == READ_STOPPED) {
          LogLine(LOG_CRLF, "Exit DoTestValidPorts on Com = -1");
          AtomicWrite(slot, -1);
          CloseSource(index);
          *stop = true;
          return 0;
        }
        if (n > 0 && SerialSourceAlive(index)) {  // bytes that only look like NMEA make no receiver
          count = n;
          break;
        }
      }
      if (count == 0) CloseSource(index);
    }
    AtomicWrite(slot, -1);
    return count;
  }
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!OpenApiSource(event)) {
    CloseHandle(event);
    LogPrintf(LOG_CRLF, "GPSOpenDevice Returned: %d", GetLastError());
    return 0;
  }
  LogLine(LOG_CRLF, "MSAPI Opened");
  for (int pass = 1; pass <= kTestReads; ++pass) {
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Test Reading Pass %d", pass);
    int n = ReadApiSource(test);
    if (n == -1) {
      LogLine(LOG_CRLF, "Exit TestValidPorts MSAPI on Event");
      CloseSource(0);
      *stop = true;
      return 0;
    }
    if (n != 0) return n;
  }
  CloseSource(0);
  return 0;
}

void Beep(UINT type) {
  if (g_System.EnableQuiet == 0) MessageBeep(type);
}

// Verifies a source found by the scan while another is current; true when it delivered time,
// position, speed and heading within 30 s.
bool Verify(LONG index) {
  // The port under verification is the one a blocked wait may have to be ended on.
  if (index >= 1) AtomicWrite(TestSlot(), index);
  DWORD until = GetTickCount() + kVerifyMs;
  bool delivered = false;
  while (!delivered && static_cast<LONG>(GetTickCount() - until) < 0 && !IsSet(g_Driver.ReadSleep)) {
    FixRecord record{};
    int n = RealReadABuffer(index, &record, true);
    if (n < 1) {
      LogLine(LOG_CRLF, "Port Scan: Returned Fail or no data");
      break;
    }
    LogPrintf(LOG_CRLF, "Port Scan: Valid Fields = %x", record.ValidFields);
    delivered = (record.ValidFields & FIX_MOVING_POSITION_GROUP) == FIX_MOVING_POSITION_GROUP;
  }
  if (index >= 1) AtomicWrite(TestSlot(), -1);
  return delivered;
}

DWORD ScanThread(LPVOID) {
  t_scanThread = true;
  LogLine(LOG_CRLF, "Starting Scan Thread");
  HANDLE waits[2] = {g_Driver.PollEvent, g_Driver.ReadSleep};
  while (WaitForMultipleObjects(2, waits, FALSE, kScanPeriodMs) == WAIT_TIMEOUT) {
    if (IsSet(g_Driver.SleepRequestEvent)) continue;
    if (AtomicRead(&g_Driver.UseNewPort) >= 0) {
      LogLine(LOG_CRLF, "UseNewPort is set now\r\n");
      continue;
    }
    LONG current = AtomicRead(&g_Driver.CurrentPort);
    if (current >= 0 && !ScanAllowed()) {
      LogLine(LOG_CRLF, "No Port scan Allowed\r\n");
      continue;
    }
    LogLine(LOG_CRLF, "Port scan Start\r\n");
    LONG found = -1;
    if (!DoTestValidPorts(&found, current) || found < 0) continue;
    LogPrintf(LOG_CRLF, "Port Scan: Have New port %d", found);
    if (current < 0) {
      AtomicWrite(&g_Driver.UseNewPort, found);
      continue;
    }
    if (Verify(found)) {
      AtomicWrite(&g_Driver.UseNewPort, found);
      continue;
    }
    CloseSource(found);
  }
  LogLine(LOG_CRLF, "Scan Thread Exit");
  AtomicWrite(&g_scanRunning, 0);
  return 0;
}

}  // namespace

int RealReadABuffer(LONG n, FixRecord* fix, bool fromScan) {
  LogLine(LOG_CRLF | LOG_VERBOSE, "Clear Input Structure");
  memset(fix, 0, sizeof *fix);
  int count = 0;
  // The scan thread's verification keeps its own failure count, so that only the reader ever
  // starts a full scan and changes the current source.
  LONG errors = fromScan ? 0 : g_Driver.ErrorCount;
  if (n == 0) {
    if (SourceHandle(0)) {
      count = ReadApiSource(fix);
      if (count == -1) {
        LogLine(LOG_CRLF, "Exit Realread A Buffer MSAPI on Event");
        return -1;
      }
      if (count > 0) return count;
      LogLine(LOG_CRLF, "Failed to Read MSApi data");
    } else {
      LogLine(LOG_CRLF, "RealRead A Buffer Called with MSAPI bad Handle");
      errors = 10;
    }
  } else if (n >= 1 && n <= 9) {
    LogPrintf(LOG_CRLF, "Read Com%1.1d data", n);
    if (SourceHandle(n)) {
      count = ReadWithWait(n, fix);
      if (count == READ_STOPPED) {
        LogLine(LOG_CRLF, "Exit RealRead A Buffer on Com = -1");
        return -1;
      }
      if (count == READ_PORT_FAILED) {
        LogLine(LOG_CRLF, "RealRead A Buffer Com Error");
        errors = 10;
        count = 0;
      }
      if (count > 0) return count;
    } else {
      LogLine(LOG_CRLF, "RealRead A Buffer Called with bad COMM Handle");
      errors = 10;
    }
  }
  if (IsSet(g_Driver.ReadSleep)) {
    LogLine(LOG_CRLF, "Exit RealRead A Buffer on Event");
    return -1;
  }
  ++errors;
  if (fromScan) return errors < kTestReads ? 0 : -1;
  g_Driver.ErrorCount = errors;
  if (errors < kTestReads) return 0;
  g_Driver.ErrorCount = 0;
  return LookForPort();
}

int DoTestValidPorts(LONG* out, LONG current) {
  LogLine(LOG_CRLF, "Testing Selected Input Ports");
  *out = -1;
  if (WaitForSingleObject(g_Driver.ReadSleep, 25) == WAIT_OBJECT_0) {
    LogLine(LOG_CRLF, "Stop Testing Ports: ReadSleep");
    return 0;
  }
  int limit;
  if (current < 0) {
    LogLine(LOG_CRLF, "Testing All Available Ports");
    limit = 11;
  } else {
    limit = g_System.Ports[current].order;
    LogPrintf(LOG_CRLF, "Testing Higher (<%d) Order Ports", limit);
  }
  int candidates = 0, smallest = 99;
  for (int i = 0; i < kSourcePorts; ++i)
    if (Candidate(g_System.Ports[i], i)) {
      ++candidates;
      if (g_System.Ports[i].order < smallest) smallest = g_System.Ports[i].order;
    }
  LogPrintf(LOG_CRLF, "Found %d Active Ports", candidates);
  if (!candidates) return 0;
  for (int order = smallest; order < limit && candidates > 0 && !IsSet(g_Driver.ReadSleep); ++order) {
    LogPrintf(LOG_CRLF | LOG_VERBOSE, "Scanning Order %d", order);
    for (int i = 0; i < kSourcePorts && candidates > 0 && !IsSet(g_Driver.ReadSleep); ++i) {
      if (!Candidate(g_System.Ports[i], i) || g_System.Ports[i].order != order) continue;
      --candidates;
      LogPrintf(LOG_CRLF | LOG_VERBOSE, "Testing Port %d", i);
      LogLine(LOG_CRLF | LOG_VERBOSE, "Clear Test Structure");
      FixRecord test{};
      bool stop = false;
      int n = TestPort(i, &test, &stop);
      if (stop) return 0;
      if (n > 0) {
        LogLine(LOG_CRLF, "Port Is Usable");
        *out = i;
        SourcePort& p = g_System.Ports[i];
        p.flags = static_cast<BYTE>((p.flags & ~PORT_ENABLED) | PORT_FOUND);
        if (current < 0) g_Driver.InputFix = test;  // the burst is used as the first fix
        return n;
      }
    }
  }
  return 0;
}

int LookForPort() {
  LONG found = -1;
  int n = DoTestValidPorts(&found, -1);
  SwitchPorts(found);
  return AtomicRead(&g_Driver.CurrentPort) >= 0 ? n : 0;
}

void EndPortTest(int n) {
  for (volatile LONG* slot : {&g_Driver.TestPort, &g_ScanTestPort}) {
    if (AtomicRead(slot) != n) continue;
    AbortPortWait(n);
    AtomicWrite(slot, -1);
  }
}

void ApplySourceCorrections(LONG port) {
  if (port < 0 || port >= kSourcePorts) return;
  AtomicWrite(&g_Driver.SourceCorrections, (g_System.Ports[port].flags & PORT_FIX) ? 1 : 0);
}

void SwitchPorts(LONG next) {
  LONG current = AtomicRead(&g_Driver.CurrentPort);
  if (current < 0) LogPrintf(LOG_CRLF, "Now Using Port %d", next);
  else if (next < 0) LogPrintf(LOG_CRLF, "Closing port %d", current);
  else LogPrintf(LOG_CRLF, "Switching From Port %d to %d", current, next);
  if (current >= 0) {
    CloseSource(current);
    AtomicWrite(&g_Driver.CurrentPort, PORT_NONE);
    ReportCurrentSource(PORT_NONE);
    if (next < 0) {
      Beep(MB_ICONHAND);
      return;
    }
  }
  if (next < 0) return;
  HANDLE h = SourceHandle(next);
  if (h && h != INVALID_HANDLE_VALUE) {
    ApplySourceCorrections(next);  // before the port is current: its fixes never see the others'
    AtomicWrite(&g_Driver.CurrentPort, next);
    ReportCurrentSource(next);
    AtomicWrite(&g_Driver.TestPort, -1);
    g_ClockSynced = false;
    ClearAltitudeReference(next);
    Beep(MB_OK);
  } else {
    LogLine(LOG_CRLF, "SwitchPorts to Bad Handle");
  }
}

bool ScanAllowed() {
  SYSTEM_POWER_STATUS_EX power;
  bool ac = true;
  if (GetSystemPowerStatusEx(&power, TRUE)) {
    ac = power.ACLineStatus & 1;
    LogLine(LOG_CRLF, ac ? "AC Power" : "Battery Power");
  }
  DWORD mode = ReadScanSetting();
  if (mode == 0) return ac;
  if (mode == 1) return true;
  if (mode == 3) {
    SaveScanSetting(2);
    return true;
  }
  return false;
}

void StartScanThread() {
  // One scan thread at a time: a wake while the previous one still runs keeps that one.
  if (InterlockedCompareExchange(&g_scanRunning, 1, 0) != 0) return;
  if (g_Driver.ScanThread) CloseHandle(g_Driver.ScanThread);
  g_Driver.ScanThread = CreateThread(nullptr, 0, ScanThread, nullptr, 0, nullptr);
  if (!g_Driver.ScanThread) {
    AtomicWrite(&g_scanRunning, 0);
    return;
  }
  WaitForSingleObject(g_Driver.ScanThread, 100);
}

void StopScanThread() {
  bool wasSleeping = IsSet(g_Driver.ReadSleep);
  if (g_Driver.ScanThread) {
    SetEvent(g_Driver.ReadSleep);
    LONG test = AtomicRead(&g_ScanTestPort);
    if (test >= 1) AbortPortWait(test);
    if (WaitForSingleObject(g_Driver.ScanThread, kScanStopMs) != WAIT_OBJECT_0) {
      LogLine(LOG_CRLF | LOG_FLUSH, "ScanThread forced Closed");
      TerminateThread(g_Driver.ScanThread, 0);
    }
    CloseHandle(g_Driver.ScanThread);
    g_Driver.ScanThread = nullptr;
    if (AtomicRead(&g_Driver.OpenCount) > 0 && !wasSleeping)
      ResetEvent(g_Driver.ReadSleep);
  }
  LONG pending = AtomicRead(&g_Driver.UseNewPort);
  if (pending >= 0) {
    CloseSource(pending);
    AtomicWrite(&g_Driver.UseNewPort, PORT_NONE);
  }
}
