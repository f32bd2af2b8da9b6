// ferrox-settings-dump: loads the settings as the driver does at start and prints them.
#include <cstdio>
#include <cstring>
#include <string>
#include <getopt.h>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/program_options.h"

static const char kUsage[] =
    "Usage: ferrox-settings-dump [--root DIR] [--context KEY]\n"
    "Loads the driver's settings from the registry of a data root, as the driver does when it\n"
    "starts (writing what the driver writes: GpsComPort and the GPS Intermediate Driver values),\n"
    "and prints them.\n"
    "  --root DIR      data root (default: $FERROX_ROOT, else $XDG_DATA_HOME/ferrox,\n"
    "                  else ~/.local/share/ferrox)\n"
    "  --context KEY   the driver's active key (as the device manager passes it)\n"
    "  --version       print the version\n"
    "  --help          this text\n";

int main(int argc, char** argv) {
  std::u16string context;
  bool haveContext = false;
  auto takeContext = [&](const char* value) {
    context = Utf8ToWide(value);
    haveContext = true;
    return 0;
  };
  int done = ReadProgramOptions(argc, argv, "ferrox-settings-dump", kUsage, {{"context", true, takeContext}},
                                OPTIONS_WITH_ROOT);
  if (done >= 0) return done;
  if (optind < argc) {
    fprintf(stderr, "ferrox-settings-dump: unknown argument %s (see --help)\n", argv[optind]);
    return 1;
  }
  if (RefuseMissingRoot("ferrox-settings-dump")) return 1;
  ReadLogSetting();
  LoadAllSettings(haveContext ? context.c_str() : nullptr);
  if (*PlatformRegistryError()) {
    fprintf(stderr, "ferrox-settings-dump: %s\n", PlatformRegistryError());
    return 1;
  }
  const SystemSettings& s = g_System;
  const ProfileSettings& p = g_Profile;
  printf("Data root        %s\n", PlatformRoot().c_str());
  printf("Driver key       %s (own port %s)\n", WideToUtf8(s.BuiltinKey).c_str(), WideToUtf8(s.OwnPortName).c_str());
  printf("GPS port         COM%u: (multiplexer %s)\n", s.GpsComPort, WideToUtf8(s.MuxPortName).c_str());
  printf("GPSID driver key %s\n", s.GidDriverKey[0] ? WideToUtf8(s.GidDriverKey).c_str() : "(none)");
  printf("EnableLogs %u  EnableTrack %u  EnableScan %u  EnableSmooth %u  EnableQuiet %u\n", s.EnableLogs,
         s.EnableTrack, s.EnableScan, s.EnableSmooth, s.EnableQuiet);
  printf("SleepTime %u ms  ComTimeOut %u ms  KeepAlive %u ms  EnableAltSep %u\n", s.SleepTime, s.ComTimeOut,
         s.KeepAlive, s.EnableAltSep);
  printf("Sensors: PollRate %u  NumAvg %u  CompassAngle %u  CompassSpeed %u  AutoEnable %u  AutoAngle %u\n",
         s.PollRate, s.NumAvg, s.CompassAngle, s.CompassSpeed, s.AutoEnable, s.AutoAngle);
  printf("Profile %u: DeltaDistance %.1f m  DeltaSpeed %.1f km/h  MinSpeed %.1f km/h  DeltaTime %u ms\n",
         s.CurrentProfile, p.DeltaDistance, p.DeltaSpeed, p.MinSpeed, p.DeltaTime);
  printf("           LagAdvance %u ms  EnableDop %u  EnableCourse %u  EnableSpeed %u  EnableCompass %u"
         "  MagVal %d  MagLand %d\n",
         p.LagAdvance, p.EnableDop, p.EnableCourse, p.EnableSpeed, p.EnableCompass, p.MagVal, p.MagLand);
  printf("Sources (index, name, flags, order):\n");
  for (int i = 0; i < kSourcePorts; ++i) {
    const SourcePort& port = s.Ports[i];
    char name[8];
    if (i == 0) snprintf(name, sizeof name, "API");
    else snprintf(name, sizeof name, "COM%d:", i);
    printf("  %d %-5s 0x%02x %3u%s%s\n", i, name, port.flags, port.order, (port.flags & PORT_ENABLED) ? " enabled" : "",
           (port.flags & PORT_OWN) ? " (driver's own port)" : "");
  }
  return 0;
}
