// The settings program's start and end.
#include "app_entry.h"
#include <cstdio>
#include <cstring>
#include "apply_settings.h"
#include "calibration.h"
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "status_reader.h"
#include "status_text.h"
#include "support/log.h"

void FindCommandOptions(const char* line, CommandOptions* options) {
  options->profile = -1;
  options->scan = -1;
  for (const char* c = line; *c; ++c) {
    if (*c == ' ' || *c == '\t') continue;
    const char* at = c;
    // One digit each; anything else after the option (a letter, a sign) is kOptionBad.
    if (!strncmp(at, "Profile=", 8)) {
      at += 8;
      if (*at) options->profile = *at >= '0' && *at <= '9' ? *at - '0' : kOptionBad;
    }
    if (!strncmp(at, "Scan=", 5) && at[5]) options->scan = at[5] >= '0' && at[5] <= '9' ? at[5] - '0' : kOptionBad;
  }
}

void StartSettingsLog() {
  SetLogName(SETTINGS_LOG_NAME);
  ResetAppSettings();
  ReadLogSetting();
  LogLine(LOG_CRLF, DRIVER_VERSION_TEXT);
}

int CommandOptionsRefused(const char* line, char* why, size_t size) {
  CommandOptions o;
  FindCommandOptions(line ? line : "", &o);
  if (o.scan == -1 || (o.scan >= 0 && o.scan <= kMaxScanMode)) return 0;
  snprintf(why, size, "Scan= takes one digit from 0 to %d (0 power only, 1 battery too, 2 never, 3 once)", kMaxScanMode);
  return 1;
}

int CommandOptionsAct(const char* line) {
  CommandOptions o;
  FindCommandOptions(line ? line : "", &o);
  return (o.profile >= 0 && o.profile <= 2) || (o.scan >= 0 && o.scan <= kMaxScanMode);
}

int RunCommandOptions(const char* line) {
  if (!line || !line[0]) return 0;
  LogPrintf(LOG_VERBOSE, "lpCmdLine [%s]\r\n", line);
  CommandOptions o;
  FindCommandOptions(line, &o);
  bool done = false;
  if (o.profile != -1) {
    LogPrintf(0, "Command Line Profile %d\r\n", o.profile);
    if (o.profile >= 0 && o.profile <= 2) {
      AppLoadAllSettings();  // the driver's own port, for the command
      SaveCurrentProfile(static_cast<DWORD>(o.profile));
      ApplySettings(APPLY_RELOAD);
      done = true;
    }
  }
  if (o.scan != -1) {
    LogPrintf(0, "Command Line Scan Mode %d\r\n", o.scan);
    if (o.scan < 0 || o.scan > kMaxScanMode) return -1;  // never stored: the caller says why
    SaveScanSetting(static_cast<DWORD>(o.scan));
    done = true;
  }
  if (done) {
    MessageBeep(0);
    LogLine(LOG_CLOSE | LOG_CRLF, "Exiting...");
  }
  return done;
}

void StartSettingsProgram() {
  LogLine(LOG_NEWFILE | LOG_CRLF, "FerroxSettings Startup");
  AppLoadAllSettings();
  if (g_System.CurrentProfile == 0) AppFirstRunInit();
  StartStatusReader();
}

void EndSettingsProgram() {
  CalibrationView v;
  ReadCalibrationView(&v);
  if (v.running) AbortCalibration();
  StopStatusReader();
  LogLine(LOG_CLOSE, "Exiting...");
}
