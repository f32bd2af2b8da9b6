// Serial communications on the platform's terms, realised with termios. COMn: names map to
// Linux devices through the registry (Software\Quorvale\SerialPorts\COMn: Device, BaudRate).
#pragma once
#include <cstddef>
#include "platform/types.h"

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, EvtChar) == 25);

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

struct COMSTAT {
  DWORD Flags;  // fCtsHold .. fTxim bits
  DWORD cbInQue;
  DWORD cbOutQue;
};
static_assert(sizeof(COMSTAT) == 12);

struct COMMPROP {
  WORD wPacketLength;
  WORD wPacketVersion;
  DWORD dwServiceMask;
  DWORD dwReserved1;
  DWORD dwMaxTxQueue;
  DWORD dwMaxRxQueue;
  DWORD dwMaxBaud;
  DWORD dwProvSubType;
  DWORD dwProvCapabilities;
  DWORD dwSettableParams;
  DWORD dwSettableBaud;
  WORD wSettableData;
  WORD wSettableStopParity;
  DWORD dwCurrentTxQueue;
  DWORD dwCurrentRxQueue;
  DWORD dwProvSpec1;
  DWORD dwProvSpec2;
  WCHAR wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);
static_assert(offsetof(COMMPROP, wSettableData) == 40);

#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u
#define EV_POWER 0x2000u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define DTR_CONTROL_HANDSHAKE 2u
#define RTS_CONTROL_HANDSHAKE 2u
#define MAXDWORD 0xFFFFFFFFu

BOOL WaitCommEvent(HANDLE h, LPDWORD events, LPVOID overlapped);
// WaitCommEvent that gives up after `ms` (FALSE, last error WAIT_TIMEOUT): a receiver that falls
// silent must not hold its reader for good.
BOOL PlatformWaitCommEventFor(HANDLE h, LPDWORD events, DWORD ms);
// Threads blocked waiting for input on a local serial port now (-1: not one), for a caller that
// must know a wait has begun before it ends it.
int PlatformCommWaiters(HANDLE h);
// The Linux device a port name ("COM4:") is mapped to, in UTF-8; 0 when it has none.
DWORD PlatformSerialDevice(LPCWSTR name, char* out, DWORD size);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, LPDWORD mask);
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts);
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, const DCB* dcb);

#define SERIAL_PORTS_KEY u"Software\\Quorvale\\SerialPorts"
constexpr DWORD kDefaultBaudRate = 9600;
// BaudRate 0: the port finds the receiver's speed when it opens (9600, 4800, 38400, 115200,
// 19200, 57600, the first at which NMEA sentences with right checksums arrive).

// The termios speed (B4800 ... B230400) of a baud rate, 0 (B0) for a rate termios does not know.
unsigned PlatformTermiosSpeed(DWORD baud);

// An event (auto-reset, owned by the platform) set when a device mapped to a COM port appears;
// each call also takes in the mappings made since the last.
HANDLE PlatformSerialArrivalEvent();
