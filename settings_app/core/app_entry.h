// The settings program's start and end apart from its window: the log, the command line's
// options, the settings' first load, and the status reader.
#pragma once
#include <cstddef>
#include "platform/types.h"

#define SETTINGS_LOG_NAME "FrxSettings"
#define SETTINGS_INSTANCE_NAME "FerroxSetup"
#define SETTINGS_WINDOW_NAME SETTINGS_INSTANCE_NAME

// The options of a command line, found anywhere in it: "Profile=" and "Scan=" with one digit.
constexpr int kOptionBad = -2;  // the option is there, but what follows it is no digit
constexpr int kMaxScanMode = 3;
struct CommandOptions {
  int profile;  // the digit's value after "Profile=", -1 when absent
  int scan;     // after "Scan=", -1 when absent
};
void FindCommandOptions(const char* line, CommandOptions* options);

// The log and its setting; logs the driver version line.
void StartSettingsLog();
// 1 (and why, in one line) when the command line holds a value no setting takes (Scan=x, Scan=9):
// nothing is stored, and the program ends with status 1.
int CommandOptionsRefused(const char* line, char* why, size_t size);
// 1 when the command line has an option the program acts on without a window.
int CommandOptionsAct(const char* line);
// Acts on the options (logged, stored, the driver told to reload); 1 when the program is then
// done (a "Scan=" option, or "Profile=" with 0, 1 or 2) and must end without a window; -1 when a
// value was refused (see CommandOptionsRefused).
int RunCommandOptions(const char* line);
// Loads every setting, writes the defaults on the first run, starts the status reader.
void StartSettingsProgram();
// Stops the status reader (and a calibration run) and closes the log.
void EndSettingsProgram();
