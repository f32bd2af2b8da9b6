// The driver-wide state that the reader, the scan thread and the channels share.
#pragma once
#include "platform/types.h"
#include "support/fix_record.h"

// What a program's command asks the reader thread to do.
enum RemoteCommandValue : LONG {
  REMOTE_NONE = 0,
  REMOTE_RELOAD = 1,  // "Reload": every setting again, the sources anew
  REMOTE_CALIB = 2,   // "Calib:": the current profile again (a compass calibration, a profile switch)
};

constexpr LONG PORT_NONE = -1;       // looking for a source
constexpr LONG PORT_NOT_FOUND = -2;  // none could be found

struct DriverState {
  volatile LONG OpenCount;
  volatile LONG RemoteCommand;  // a RemoteCommandValue
  volatile LONG CurrentPort;    // -1 none, -2 none found, 0 platform API, 1..9 COM1..COM9
  volatile LONG UseNewPort;     // better source found by the scan thread, -1 none
  volatile LONG TestPort;       // serial source a blocking read may wait on, -1 none
  FixRecord InputFix;
  FixRecord OutputFix;
  LONG ErrorCount;
  HANDLE PollEvent;
  HANDLE ReadSleep;
  HANDLE SleepRequestEvent;
  HANDLE WakeEvent;
  HANDLE InitDoneEvent;
  HANDLE ReadThread;
  HANDLE ScanThread;
  volatile LONG SourceCorrections;  // 1: the profile's speed, course and lag corrections apply to the source
};

extern DriverState g_Driver;

// The single 32-bit hand-over values are read and written whole by every thread.
inline LONG AtomicRead(volatile LONG* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
inline void AtomicWrite(volatile LONG* p, LONG v) { __atomic_store_n(p, v, __ATOMIC_SEQ_CST); }
inline DWORD AtomicRead(volatile DWORD* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
inline void AtomicWrite(volatile DWORD* p, DWORD v) { __atomic_store_n(p, v, __ATOMIC_SEQ_CST); }

struct ProfileSettings;
// The profile as it applies to the current source: the loaded settings, with EnableSpeed,
// EnableCourse and LagAdvance 0 for a source whose port entry has no correction flag. The loaded
// settings themselves are never rewritten between loads.
ProfileSettings SourceProfile();
// Loads every setting (or, `profileOnly`, the software settings and the current profile) under
// the history lock, so a channel reading at the same time sees the old settings or the new ones,
// never a load half done.
void LoadDriverSettings(bool profileOnly);
