// Applying saved settings: writing them, telling the running driver to reload, and loading the
// driver anew through the device manager when its registration changed.
#pragma once
#include "platform/types.h"

enum ApplyKind : DWORD {
  APPLY_ALL = 1,      // system, ports and compass pages: everything, or a re-registration
  APPLY_PROFILE = 2,  // profile page, compass page's Undo: the current profile
  APPLY_CALIB = 3,    // start of a calibration: the current profile, then "Calib:"
  APPLY_RELOAD = 4,   // command line "Profile=": only "Reload"
};

// Writes the command with its terminating NUL on a handle of its own to the driver's port; 1
// when the driver took it.
int SendDriverCommand(const char* command);
// 1 when the command reached the driver (or the driver was re-registered), 0 when not.
int ApplySettings(DWORD kind);
