// The settings program's start and end apart from its window: the log, the command line's
// options, the settings' first load, and the status reader.
#pragma once
#include "platform/types.h"

#define SETTINGS_LOG_NAME "FrxSettings"
#define SETTINGS_INSTANCE_NAME "FerroxSetup"
#define SETTINGS_WINDOW_NAME SETTINGS_INSTANCE_NAME

// The options of a command line, found anywhere in it: "Profile=" and "Scan=" with one digit.
struct CommandOptions {
  int profile;  // the digit's value after "Profile=", -1 when absent
  int scan;     // after "Scan=", -1 when absent
};
void FindCommandOptions(const char* line, CommandOptions* options);

// The log and its setting; logs the driver version line.
void StartSettingsLog();
// Acts on the options (logged, stored, the driver told to reload); 1 when the program is then
// done (a "Scan=" option, or "Profile=" with 0, 1 or 2) and must end without a window.
int RunCommandOptions(const char* line);
// Loads every setting, writes the defaults on the first run, starts the status reader.
void StartSettingsProgram();
// Stops the status reader (and a calibration run) and closes the log.
void EndSettingsProgram();
