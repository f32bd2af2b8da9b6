// The serial I/O controls of the virtual port, answered from each channel's emulated settings,
// and the WaitCommEvent emulation.
#include <cstring>
#include "channel_internal.h"
#include "platform/serial_ioctl.h"
#include "port_driver/driver_state.h"
#include "settings_store/settings.h"
#include "support/log.h"

SerialState g_Serial[kChannels];

namespace {

constexpr DWORD IOCTL_PSL_NOTIFY = 0x010303FF;

const char* const kNames[24] = {nullptr,
                                "SetCommBreak",
                                "ClearCommBreak",
                                "Set DTR",
                                "Clear DTR",
                                "Set RTS",
                                "Clear RTS",
                                "Set OFF",
                                "Set XON",
                                "GetCommMask",
                                "SetCommMask",
                                "WaitCommEvent",
                                "ClearCommError",
                                "GetCommModemStatus",
                                "GetCommProperties",
                                "SetCommTimeouts",
                                "GetCommTimeouts",
                                "PurgeComm",
                                "SetupComm QUEUE_SIZE",
                                "TransmitCommChar",
                                "GetCommState",
                                "SetCommState",
                                "EscapeCommFunction(SETIR)",
                                "EscapeCommFunction(CLRIR)"};


void ApplyDefaults(SerialState& s) {
  if (s.dcb.DCBlength == 0) {
    memset(&s.dcb, 0, sizeof s.dcb);
    s.dcb.DCBlength = sizeof(DCB);
    s.dcb.BaudRate = 115200;
    s.dcb.fBinary = 1;
    s.dcb.fTXContinueOnXoff = 1;
    s.dcb.fNull = 1;
    s.dcb.ByteSize = 8;
    s.dcb.Parity = 0;
    s.dcb.StopBits = 0;
    s.dcb.EofChar = 0;
    s.dcb.EvtChar = 10;
  }
  if (s.timeouts.ReadTotalTimeoutConstant == 0 || s.appliedPeriod != g_System.SleepTime) {
    s.timeouts.ReadTotalTimeoutConstant = g_System.EnableSmooth ? g_System.SleepTime >> 1 : g_System.SleepTime;
    s.appliedPeriod = g_System.SleepTime;
  }
}

BOOL Invalid() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WaitCommEventEmulation(int index, DWORD* result) {
  *result = 0;
  Channel& c = g_Channels[index];
  SerialState& s = g_Serial[index];
  if (!(AtomicRead(&c.flags) & CHANNEL_OPEN)) {
    ChannelLine(index, "WaitComEvent - flagged as closed");
    return FALSE;
  }
  if (!s.waitEvent) s.waitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  else ResetEvent(s.waitEvent);
  s.eventResult = 0;
  if (c.remaining < 1) {
    ResetEvent(c.event);
    c.buffer[0] = 0;
    c.remaining = 0;
    c.readOffset = 0;
    LONG delay = s.timeoutOverride ? static_cast<LONG>(s.timeoutOverride) : ChannelDelay(c);
    if (delay > 0) {
      LogPrintf(LOG_TAB | LOG_CRLF, "Channel: %d, WaitCommMask - Reading Gps Data Delay %d", index + 1, delay);
      HANDLE waits[3] = {c.event, s.waitEvent, g_Driver.ReadSleep};
      WaitForMultipleObjects(g_Driver.ReadSleep ? 3 : 2, waits, FALSE, static_cast<DWORD>(delay));
    }
    if (!(AtomicRead(&c.flags) & CHANNEL_OPEN)) return FALSE;
    c.remaining = GenerateBatch(c, false);
    PaceChannel(c);
  }
  if (c.remaining != 0) {
    if (s.waitMask & EV_RXCHAR) s.eventResult |= EV_RXCHAR;
    if (s.waitMask & EV_TXEMPTY) s.eventResult |= EV_TXEMPTY;
    if ((s.waitMask & EV_RXFLAG) && s.dcb.EvtChar &&
        memchr(c.buffer + c.readOffset, s.dcb.EvtChar, static_cast<size_t>(c.remaining)))
      s.eventResult |= EV_RXFLAG;
  }
  *result = s.eventResult;
  return TRUE;
}

}  // namespace

const char* IoControlName(DWORD code) {
  DWORD fn = (code >> 2) & 0xFFF;
  return fn >= 1 && fn <= 23 ? kNames[fn] : "UnKnown ioctl";
}

BOOL SerialIoControl(int index, DWORD code, BYTE* in, DWORD inLength, BYTE* out, DWORD outLength, DWORD* actual) {
  if (code == IOCTL_PSL_NOTIFY) {
    DWORD head[2];
    if (inLength == 16 && in) {
      memcpy(head, in, sizeof head);
      if (head[0] == 16 && head[1] == 4) LogLine(LOG_TAB | LOG_VERBOSE | LOG_CRLF, "ioctl_psl_notify");
    }
    return TRUE;
  }
  if (SerialFunction(code) == 0) return FALSE;
  SerialState& s = g_Serial[index];
  ApplyDefaults(s);
  if (actual) *actual = 0;
  DWORD fn = SerialFunction(code);
  if (fn < SERIAL_SET_BREAK_ON || fn > SERIAL_DISABLE_IR) return FALSE;
  auto outOk = [&](DWORD size) { return out && outLength >= size && actual; };
  switch (fn) {
    case SERIAL_SET_BREAK_ON:
    case SERIAL_SET_BREAK_OFF:
    case SERIAL_ENABLE_IR:
    case SERIAL_DISABLE_IR:
      return FALSE;
    case SERIAL_SET_DTR:
    case SERIAL_CLR_DTR:
      if (s.dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    case SERIAL_SET_RTS:
    case SERIAL_CLR_RTS:
      if (s.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    case SERIAL_SET_XOFF:
    case SERIAL_SET_XON:
    case SERIAL_SET_QUEUE_SIZE:
      return TRUE;
    case SERIAL_GET_WAIT_MASK:
      if (!outOk(4)) return Invalid();
      memcpy(out, &s.waitMask, 4);
      *actual = 4;
      return TRUE;
    case SERIAL_SET_WAIT_MASK:
      if (!in || inLength < 4) return Invalid();
      memcpy(&s.waitMask, in, 4);
      if (s.waitEvent) SetEvent(s.waitEvent);
      return TRUE;
    case SERIAL_WAIT_ON_MASK: {
      if (!outOk(4)) return Invalid();
      if (s.waitMask == 0) {
        ChannelLine(index, "WaitComEvent - No Mask is Set");
        return Invalid();
      }
      DWORD result = 0;
      BOOL ok = WaitCommEventEmulation(index, &result);
      memcpy(out, &result, 4);
      if (ok) *actual = 4;
      return ok;
    }
    case SERIAL_GET_COMMSTATUS:
      if (!outOk(16)) return Invalid();
      s.stat.cbInQue = g_Channels[index].remaining < 0 ? 0 : static_cast<DWORD>(g_Channels[index].remaining);
      memcpy(out, &s.errors, 4);
      memcpy(out + 4, &s.stat, 12);
      *actual = 16;
      return TRUE;
    case SERIAL_GET_MODEMSTATUS:
      if (!outOk(4)) return Invalid();
      memset(out, 0, 4);
      *actual = 4;
      return TRUE;
    case SERIAL_GET_PROPERTIES: {
      if (!outOk(sizeof(COMMPROP))) return Invalid();
      COMMPROP p{};
      p.wPacketLength = 0xFFFF;
      p.wPacketVersion = 0xFFFF;
      p.dwServiceMask = 1;
      p.dwMaxBaud = 0x10000000;
      p.dwProvSubType = 1;
      p.dwProvCapabilities = 0x7FFFFFFF;
      p.dwSettableParams = 0x7FFFFFFF;
      p.dwSettableBaud = 0x7FFFFFFF;
      p.wSettableData = 0x7FFF;
      p.wSettableStopParity = 0x7FFF;
      memcpy(out, &p, sizeof p);
      *actual = sizeof p;
      return TRUE;
    }
    case SERIAL_SET_TIMEOUTS:
      if (!in || inLength < sizeof(COMMTIMEOUTS)) return Invalid();
      memcpy(&s.timeouts, in, sizeof s.timeouts);
      s.timeoutOverride = s.timeouts.ReadTotalTimeoutConstant;
      return TRUE;
    case SERIAL_GET_TIMEOUTS:
      if (!outOk(sizeof(COMMTIMEOUTS))) return Invalid();
      memcpy(out, &s.timeouts, sizeof s.timeouts);
      *actual = sizeof s.timeouts;
      return TRUE;
    case SERIAL_PURGE: {
      if (!in || inLength < 4) return Invalid();
      DWORD flags;
      memcpy(&flags, in, 4);
      if ((flags & PURGE_RXABORT) && s.waitEvent) SetEvent(s.waitEvent);
      if (flags & PURGE_RXCLEAR) {
        Channel& c = g_Channels[index];
        c.remaining = 0;
        c.readOffset = 0;
        if (c.buffer) c.buffer[0] = 0;
      }
      return TRUE;
    }
    case SERIAL_IMMEDIATE_CHAR:
      if (!in || inLength == 0) return Invalid();
      return TRUE;
    case SERIAL_GET_DCB:
      if (!outOk(sizeof(DCB))) return Invalid();
      memcpy(out, &s.dcb, sizeof s.dcb);
      *actual = sizeof s.dcb;
      return TRUE;
    case SERIAL_SET_DCB: {
      if (!in || inLength < sizeof(DCB)) return Invalid();
      DCB dcb;
      memcpy(&dcb, in, sizeof dcb);
      if (dcb.DCBlength != sizeof(DCB)) return Invalid();
      s.dcb = dcb;
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void CloseSerialStates() {
  for (SerialState& s : g_Serial) {
    if (s.waitEvent) CloseHandle(s.waitEvent);
    s.waitEvent = nullptr;
  }
}
