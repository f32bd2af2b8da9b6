// Serial sources: opening COMn:, reading bursts of sentences into the input record, and the GPS
// clock check after each burst.
#include <cstdio>
#include <cstring>
#include "driver_internal.h"
#include "port_driver/correction.h"
#include "port_driver/driver_state.h"
#include "clock_feed.h"
#include "geoid.h"
#include "port_report.h"
#include "port_driver/nmea_parser.h"
#include "port_driver/nmea_framer.h"
#include "settings_store/settings.h"
#include "support/clock.h"
#include "support/log.h"

std::atomic<bool> g_ClockSynced{false};
std::atomic<bool> g_ClockSetByReceiver{false};

namespace {

constexpr DWORD kPollSleepMs = 50;
constexpr DWORD kReadExtensionMs = 150;
constexpr DWORD kLeastSilenceMs = 5000;
constexpr DWORD kBurstMarginMs = 200;
// The clock check's bands, GPS time less the clock: beyond a minute the receiver's time is not
// believed; within -20..250 ms the clock counts as set (a fix arrives up to 250 ms after its time).
constexpr LONG kClockUnbelievedMs = 60000;
constexpr LONG kClockAheadToleranceMs = -20;
constexpr LONG kClockBehindToleranceMs = 250;

// The count of waiting bytes as the port reports it: -1 when it reports an error or a count that
// cannot be trusted (2000 or more).
LONG WaitingCount(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(h, &errors, &stat) || errors || stat.cbInQue >= 2000) return -1;
  return static_cast<LONG>(stat.cbInQue);
}

// The count of waiting bytes when the port reports one that can be trusted (0 < n < 2000).
DWORD Waiting(HANDLE h) {
  LONG n = WaitingCount(h);
  return n > 0 ? static_cast<DWORD>(n) : 0;
}

bool Before(DWORD deadline) { return static_cast<LONG>(GetTickCount() - deadline) < 0; }

bool Stopping() {
  if (WaitForSingleObject(g_Driver.ReadSleep, 0) != WAIT_OBJECT_0) return false;
  LogLine(LOG_CRLF, "Exit DoReadComPort on Event");
  return true;
}

// What each serial source's reading keeps between bursts: its cycle state, a partial line, and
// the sentences of the next cycle that came in the same read as the end of the last one.
NmeaFramer g_framer[kSourcePorts];
// When each port last carried a sentence that shows a receiver at work (or was opened): bytes
// that never make one are no life, and the port counts as silent after the same deadline.
DWORD g_lastLife[kSourcePorts];
bool g_liveSinceOpen[kSourcePorts];

// Five reporting intervals, at least 5 s.
DWORD SilenceLimit() { return 5 * g_System.SleepTime > kLeastSilenceMs ? 5 * g_System.SleepTime : kLeastSilenceMs; }

// A read that brought bytes but no life for the silence limit fails as a silent port does.
int LifelessFails(int n, int result) {
  if (result < 0) return result;
  DWORD quiet = GetTickCount() - g_lastLife[n];
  if (quiet <= SilenceLimit()) return result;
  LogPrintf(LOG_CRLF, "No Usable Data From Port %d In %u ms", n, quiet);
  ReportPortState(n, PORT_STATE_SILENT, 0);
  g_lastLife[n] = GetTickCount();  // the next verdict after another full limit
  return READ_PORT_FAILED;
}

void Complete(int n, FixRecord* fix) {
  NmeaFinishCycle(&g_framer[n].source, fix);
  if (g_liveSinceOpen[n])
    ReportPortState(n, fix->FixQuality ? PORT_STATE_FIX : PORT_STATE_NO_FIX,
                    fix->FixQuality ? fix->SatelliteCount : fix->SatellitesInView);
  // A port under test while another is current is a foreign receiver: its clock must not shift
  // the current fixes or set the clock, and the geoid is the current source's.
  LONG current = AtomicRead(&g_Driver.CurrentPort);
  if (current >= 0 && current != n) return;
  GpsClockCheck(fix, n);
  InjectSeparation(fix, n);
}

}  // namespace

// The handle is read by the threads that end a port's wait (stop, sleep, scan) while the reader
// opens and closes the port: a single word, read and written whole.
HANDLE SourceHandle(int n) {
  if (n < 0 || n >= kSourcePorts) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::atomic_ref<DWORD>(g_System.Ports[n].handle).load()));
}

// Handles of this platform are small numbers, so they fit the table's 32-bit field.
void SetSourceHandle(int n, HANDLE h) {
  if (n >= 0 && n < kSourcePorts)
    std::atomic_ref<DWORD>(g_System.Ports[n].handle).store(static_cast<DWORD>(reinterpret_cast<uintptr_t>(h)));
}

int OpenSerialSource(int n) {
  WCHAR name[8];
  char text[8];
  snprintf(text, sizeof text, "COM%.1d:", n);
  Utf8ToWide(text, name, 8);
  HANDLE h = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (!h || h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    SetSourceHandle(n, nullptr);
    LogPrintf(LOG_CRLF, "Open Port %s Error: %d", Utf8Of(name).text, error);
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DEV_NOT_EXIST;
    ReportPortState(n, missing ? PORT_STATE_MISSING : error == ERROR_ACCESS_DENIED ? PORT_STATE_DENIED : PORT_STATE_FAILED,
                    error);
    return SOURCE_OPEN_FAILED;
  }
  SetSourceHandle(n, h);
  // The default reading ends a burst where the next cycle begins; strict reading at a quiet port.
  bool strict = g_System.StrictNmea != 0;
  NmeaFramerReset(&g_framer[n], strict, !strict);
  g_lastLife[n] = GetTickCount();
  g_liveSinceOpen[n] = false;
  LogPrintf(LOG_CRLF, "Opened Port %s", Utf8Of(name).text);
  COMMTIMEOUTS t;
  if (g_System.ComTimeOut != 0 && GetCommTimeouts(h, &t)) {
    t.ReadIntervalTimeout = 0xFFFF;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = g_System.ComTimeOut;
    SetCommTimeouts(h, &t);
  }
  DWORD waiting = Waiting(h);
  if (waiting) LogPrintf(LOG_CRLF, "Port %s Is Open with %d bytes Waiting", Utf8Of(name).text, waiting);
  else LogPrintf(LOG_CRLF, "Port %s is setup", Utf8Of(name).text);
  return SOURCE_OPENED;
}

DWORD ReadPeriodMs() { return g_System.SleepTime + kBurstMarginMs; }

bool SerialSourceAlive(int n) { return n >= 1 && n < kSourcePorts && g_liveSinceOpen[n]; }

// Ends a blocked WaitCommEvent or ReadFile on the port from another thread.
void AbortPortWait(int n) {
  HANDLE h = SourceHandle(n);
  if (!h) return;
  PurgeComm(h, PURGE_RXABORT);
  SetCommMask(h, 0);
  SetCommBreak(h);
  ClearCommBreak(h);
}

void CloseSource(int n) {
  if (n < 0 || n >= kSourcePorts) return;
  EndPortTest(n);
  if (SourceHandle(n)) {
    if (n == 0) CloseApiSource();
    else CloseHandle(SourceHandle(n));
    SetSourceHandle(n, nullptr);
  }
  SourcePort& p = g_System.Ports[n];
  if (p.flags & PORT_FOUND) p.flags = static_cast<BYTE>((p.flags & ~PORT_FOUND) | PORT_ENABLED);
}

namespace {

// One burst once the port has bytes, or READ_PORT_FAILED when it stays silent.
int WaitAndRead(int n, FixRecord* fix) {
  HANDLE h = SourceHandle(n);
  DWORD deadline = GetTickCount() + ReadPeriodMs();
  if (NmeaFramerHasLine(&g_framer[n])) return DoReadComPort(n, fix, deadline);  // the next cycle has begun
  if (DWORD waiting = Waiting(h)) {
    LogPrintf(LOG_CRLF, "%d Bytes Waiting", waiting);
    return DoReadComPort(n, fix, deadline);
  }
  if (!SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING | EV_POWER)) {
    LogLine(LOG_CRLF, "Port Can't set Event mask");
    return DoReadComPort(n, fix, deadline);
  }
  // A receiver that falls silent (or a port whose device stays but sends nothing) counts as a
  // failed read after five reporting intervals, at least 5 s: the failure path then runs.
  DWORD silence = SilenceLimit();
  DWORD events = 0;
  if (!PlatformWaitCommEventFor(h, &events, silence) && GetLastError() == WAIT_TIMEOUT) {
    LogPrintf(LOG_CRLF, "No Data From Port %d In %u ms", n, silence);
    ReportPortState(n, PORT_STATE_SILENT, 0);
    return READ_PORT_FAILED;
  }
  if (events) {
    if (events & EV_RXCHAR) {
      LogLine(LOG_CRLF, "Event RXCHAR");
      return DoReadComPort(n, fix, deadline);
    }
    static const struct {
      DWORD bit;
      const char* text;
    } kEvents[] = {{EV_CTS, "Event CTS"},     {EV_DSR, "Event DSR"}, {EV_RLSD, "Event RLSD"},  {EV_RING, "Event RING"},
                   {EV_BREAK, "Event BREAK"}, {EV_ERR, "Event ERR"}, {EV_POWER, "Event POWER"}};
    for (const auto& e : kEvents)
      if (events & e.bit) LogLine(LOG_CRLF, e.text);
    return READ_PORT_FAILED;
  }
  LogLine(LOG_CRLF, "WaitCommEvent returned zero");
  return READ_PORT_FAILED;
}

}  // namespace

int ReadWithWait(int n, FixRecord* fix) {
  if (n < 1 || n > 9) {
    LogLine(LOG_CRLF, "GetComPort with invalid port Number");
    return READ_STOPPED;
  }
  return LifelessFails(n, WaitAndRead(n, fix));
}

int DoReadComPort(int n, FixRecord* fix, DWORD deadline) {
  HANDLE h = SourceHandle(n);
  if (deadline == 0) deadline = GetTickCount() + ReadPeriodMs();
  // Each read moves the deadline on, but a receiver that never pauses must not hold the burst
  // open for good: it ends two read periods after it began at the latest.
  const DWORD latest = GetTickCount() + 2 * ReadPeriodMs();
  int total = 0;
  NmeaFramer& framer = g_framer[n];
  bool expired = !Before(deadline);
  while (!expired) {
    if (Stopping()) return READ_STOPPED;
    LogLine(LOG_CRLF | LOG_VERBOSE, "Read GPS Data");
    DWORD want;
    char* space = NmeaFramerSpace(&framer, &want);
    LONG waiting = WaitingCount(h);
    // Nothing waiting: no read, which would block until the buffer fills or the port's time-out
    // (with the next cycle's start held, a fix would wait for the cycle after it).
    if (waiting >= 0 && static_cast<DWORD>(waiting) < want) want = static_cast<DWORD>(waiting);
    DWORD got = 0;
    if (want > 0) {
      if (!ReadFile(h, space, want, &got, nullptr)) {
        LogLine(LOG_CRLF, "Exit DoReadComPort on Readfile FAILED");
        return READ_STOPPED;
      }
      NmeaFramerAdded(&framer, got);
      LogPrintf(LOG_VERBOSE, "GPS Data Return: %u (%u) [%.*s]\r\n", got, framer.length, static_cast<int>(framer.length),
                framer.bytes);
    }
    if (got > 0) deadline += kReadExtensionMs;
    if (static_cast<LONG>(deadline - latest) > 0) deadline = latest;
    // The whole lines held, those carried from the last burst first.
    for (;;) {
      NmeaFrame frame;
      NmeaFramerNext(&framer, &frame);
      if (frame.kind == FRAME_MORE) break;
      if (frame.kind == FRAME_CYCLE_END) {  // a 5 or 10 Hz receiver sends the next cycle without a pause
        Complete(n, fix);
        LogPrintf(LOG_CRLF, "Com %d, returning Valid Message (%d bytes)", n, total);
        return total;
      }
      total += static_cast<int>(frame.lineBytes);
      if (frame.sentence) NmeaParse(&framer.source, frame.sentence, fix);
      if (NmeaSentenceAlive(frame.sentence)) {
        g_lastLife[n] = GetTickCount();
        if (!g_liveSinceOpen[n]) {
          DCB dcb{};
          dcb.DCBlength = sizeof dcb;
          ReportPortState(n, PORT_STATE_NMEA, GetCommState(h, &dcb) ? dcb.BaudRate : 0);
        }
        g_liveSinceOpen[n] = true;
      }
      if (framer.length == 0) break;
      if (!Before(deadline)) {
        expired = true;
        break;
      }
      if (Stopping()) return READ_STOPPED;
    }
    if (expired) break;
    if (Waiting(h)) {
      if (!Before(deadline)) break;
      continue;
    }
    // The port is quiet.
    if ((fix->ValidFields & FIX_COMPLETE_BURST) == FIX_COMPLETE_BURST) {
      Complete(n, fix);
      LogPrintf(LOG_CRLF, "Com %d, returning Valid Message (%d bytes)", n, total);
      return total;
    }
    if ((fix->ValidFields & FIX_COMPLETE_NO_SKY) == FIX_COMPLETE_NO_SKY || NmeaCycleLooksComplete(&framer.source, fix)) {
      Complete(n, fix);
      LogPrintf(LOG_CRLF, "Com %d, returning Valid Message (no sata) (%d bytes)", n, total);
      return total;
    }
    LogPrintf(LOG_VERBOSE, "Sleep For: %d\r\n", kPollSleepMs);
    if (WaitForSingleObject(g_Driver.PollEvent, kPollSleepMs) == WAIT_OBJECT_0) {
      LogLine(LOG_CRLF, "Exit DoReadComPort on PollEvent");
      return READ_STOPPED;
    }
    if (!Before(deadline)) break;
  }
  if (fix->ValidFields & FIX_POSITION_GROUP) Complete(n, fix);
  else NmeaFinishCycle(&framer.source, fix);
  LogPrintf(LOG_VERBOSE, "Returning %d on Time out\r\n", total);
  return total;
}

int GpsClockCheck(FixRecord* fix, int port) {
  DWORD t0 = GetTickCount();
  SYSTEMTIME clock;
  // At the arrival, before any waiting; only the measured-latency mode asks.
  const SYSTEMTIME* reference = g_Profile.AutoLag && PlatformReferenceTime(&clock) ? &clock : nullptr;
  int64_t arrivalUs = PlatformSystemClockUs();
  if (fix->UtcTime.wDay == 0) {
    g_ClockSynced = false;
    ClockNow(&fix->UtcTime);
    return 0;
  }
  bool synced = g_ClockSynced.load();
  if (!synced && (fix->FixQuality == 0 || fix->FixType == 0)) {
    ClockNow(&fix->UtcTime);
    return 0;
  }
  SYSTEMTIME now;
  ClockNow(&now);
  LONG d = TimeDifference(&fix->UtcTime, &now);
  LogPrintf(LOG_CRLF, "GPS Clock is %d ms %s System", d < 0 ? -d : d, d < 0 ? "Ahead of" : "Behind");
  if (d < -kClockUnbelievedMs || d > kClockUnbelievedMs) {
    g_ClockSynced = false;
    ClockNow(&fix->UtcTime);
    return 0;
  }
  if (d >= kClockAheadToleranceMs && d <= kClockBehindToleranceMs) {
    if (synced) {  // the driver's clock stays d ms ahead of this fix
      MeasureReceiverLatency(port, &fix->UtcTime, reference, d);
      FeedClockSample(fix, port, arrivalUs);
      return 1;
    }
  } else {
    AddMilliseconds(&g_Driver.OutputFix.UtcTime, -d);
    ShiftPrevFixTime(-d);
  }
  SetClockFromGps(&fix->UtcTime, t0, g_Driver.ReadSleep);
  g_ClockSynced = true;
  g_ClockSetByReceiver = true;
  MeasureReceiverLatency(port, &fix->UtcTime, reference, 0);
  FeedClockSample(fix, port, arrivalUs);
  return 1;
}
