// What a person needs to know about a serial source, in plain words on standard error (the
// journal under systemd) and in the driver's log: one line each time its state changes.
#pragma once
#include "platform/types.h"

enum PortState : LONG {
  PORT_STATE_UNKNOWN = 0,
  PORT_STATE_MISSING,  // the mapped device does not exist
  PORT_STATE_DENIED,   // no permission to open it
  PORT_STATE_FAILED,   // another error on opening
  PORT_STATE_NMEA,     // NMEA comes in
  PORT_STATE_NO_FIX,   // the receiver talks but has no fix
  PORT_STATE_FIX,      // the receiver has a fix
  PORT_STATE_SILENT,   // no NMEA for the silence limit
};

// Reports the state of COMn: when it differs from the last one reported; `value` is the open's
// error code (MISSING, DENIED, FAILED), the baud rate (NMEA) or the satellites (NO_FIX, FIX).
// Ports without a mapped device are not reported.
void ReportPortState(int n, PortState state, DWORD value);
// Says which source is current (-1 none, 0 the platform GPS API, 1..9 COMn:) for `frxd --status`.
void ReportCurrentSource(LONG port);
// Forgets the states of an earlier run (at the driver's start).
void ClearPortReports();
