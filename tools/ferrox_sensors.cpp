// ferrox-sensors: the phone's sensors as the driver sees them, read in this process.
#include <getopt.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "platform/platform.h"
#include "settings_store/settings.h"
#include "support/program_options.h"
#include "port_driver/sensors.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-sensors [--root DIR] [--backend B] [--count N] [--interval MS]\n"
    "Reads the phone's sensors as the Ferrox driver does and prints, per reading, the orientation,\n"
    "pitch and roll (degrees) and the compass heading (degrees from magnetic north, '-' for none).\n"
    "  --root DIR      the data root (default: as frxd's, ~/.local/share/ferrox)\n"
    "  --backend B     the sensor device's source: auto, iio, proxy, script:PATH or none\n"
    "                  (default: the registry's Software\\Quorvale\\Sensors Backend, else auto)\n"
    "  --count N       stop after N readings (default: until SIGINT or SIGTERM)\n"
    "  --interval MS   time between readings (default 500)\n"
    "  --version       print the version\n"
    "  --help          this text\n"
    "Exit status: 0 on success, 1 with a one-line message on stderr when there are no sensors.\n";

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-sensors: %s\n", message.c_str());
  return 1;
}

// The sensor device of this process, from the sensor service module.
bool RegisterSensorDevice() {
  HMODULE m = LoadLibraryW(u"HTCSensorService.dll");
  if (!m) return false;
  static StreamEntryPoints e{};
  if (!PlatformStreamEntries(m, u"SEN", &e) || !e.IOControl) return false;
  DWORD context = e.Init(nullptr, nullptr);
  return context && PlatformRegisterDevice(u"SEN", 0, &e, context, TRUE);
}

}  // namespace

int main(int argc, char** argv) {
  long count = 0, interval = 500;
  auto backend = [](const char* value) {
    // The backends the sensor device knows; any other name is a mistake, said at once.
    std::string b = value;
    if (b != "auto" && b != "iio" && b != "proxy" && b != "none" && b.rfind("script:", 0) != 0)
      return Fail("unknown backend " + b + " (auto, iio, proxy, script:PATH or none)");
    setenv("FERROX_SENSOR_BACKEND", value, 1);
    return 0;
  };
  int done = ReadProgramOptions(argc, argv, "ferrox-sensors", kUsage,
                                {{"backend", true, backend},
                                 {"count", true, TakesNumber("ferrox-sensors", "count", &count, 0, 1000000000)},
                                 {"interval", true, TakesNumber("ferrox-sensors", "interval", &interval, 0, 3600000)}},
                                OPTIONS_WITH_ROOT);
  if (done >= 0) return done;
  if (optind < argc) return Fail(std::string("unknown argument ") + argv[optind] + " (see --help)");
  LoadSoftwareSettings();
  if (!RegisterSensorDevice()) {
    const char* b = getenv("FERROX_SENSOR_BACKEND");
    return Fail(std::string("no sensors (backend ") + (b ? b : "from the registry") + ")");
  }
  if (OpenSensors() != 0) return Fail("the sensors do not answer");
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  printf("capabilities:%s%s\n", SensorCapabilities() & SENSOR_ORIENTATION ? " orientation" : "",
         SensorCapabilities() & SENSOR_COMPASS ? " compass" : "");
  for (long printed = 0; !g_stop && (count == 0 || printed < count); ++printed) {
    SensorReading r;
    if (ReadSensors(&r) != 0) {
      printf("no reading\n");
    } else if (r.HeadingRead) {
      printf("orientation %s pitch %d roll %d heading %d\n", OrientationName(r.Orientation),
             static_cast<int>(r.Pitch), static_cast<int>(r.Roll), static_cast<int>(r.Heading));
    } else {
      printf("orientation %s pitch %d roll %d heading -\n", OrientationName(r.Orientation),
             static_cast<int>(r.Pitch), static_cast<int>(r.Roll));
    }
    fflush(stdout);
    if (count == 0 || printed + 1 < count) Sleep(static_cast<DWORD>(interval));
  }
  CloseSensors();
  return 0;
}
