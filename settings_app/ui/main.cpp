// ferrox-settings: the settings program. Options of the command line are acted on without a
// window; otherwise one window per data root, with the live status and the settings pages.
#include <QApplication>
#include <QThreadPool>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "app_entry.h"
#include "main_window.h"
#include "platform/platform.h"
#include "single_instance.h"
#include "status_text.h"
#include "support/log.h"
#include "support/program_options.h"

namespace {

const char kUsage[] =
    "Usage: ferrox-settings [--root DIR] [Profile=D] [Scan=D]\n"
    "Edits the driver's settings and shows its live fix.\n"
    "  Profile=D     make profile D current (1 or 2; 0 switches) and tell the driver; no window\n"
    "  Scan=D        store the port scan mode D (0 power only, 1 battery too, 2 never, 3 once); no window\n"
    "  --root DIR    the data root (default: as frxd's, ~/.local/share/ferrox)\n"
    "  --version     print the version\n"
    "  --help        this text\n"
    "Qt's own options (-platform NAME ...) are passed to Qt.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> qtArgs{argv[0]};
  std::string line;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
      fputs(kUsage, stdout);
      return 0;
    } else if (!strcmp(a, "--version")) {
      return PrintVersion("ferrox-settings");
    } else if (!strcmp(a, "--root") && i + 1 < argc) {
      PlatformSetRoot(argv[++i]);
    } else if (!strncmp(a, "--root=", 7)) {
      PlatformSetRoot(a + 7);
    } else if (!strncmp(a, "--", 2)) {
      fprintf(stderr, "ferrox-settings: unknown option %s (see --help)\n", a);
      return 2;
    } else if (a[0] == '-') {  // Qt's own, with its value
      qtArgs.push_back(argv[i]);
      if (i + 1 < argc && argv[i + 1][0] != '-' && !strchr(argv[i + 1], '=')) qtArgs.push_back(argv[++i]);
    } else {
      if (!line.empty()) line += ' ';
      line += a;
    }
  }
  StartSettingsLog();
  char why[160];
  if (CommandOptionsRefused(line.c_str(), why, sizeof why)) {
    fprintf(stderr, "ferrox-settings: %s\n", why);
    return 1;
  }
  const QString instance = QString::fromStdString(PlatformRoot() + "/" SETTINGS_INSTANCE_NAME ".sock");
  const QString lock = QString::fromStdString(PlatformRoot() + "/" SETTINGS_INSTANCE_NAME ".lock");
  if (!TakeInstanceLock(lock)) {
    // Another program runs (or is starting): it applies the command, or comes forward.
    if (CommandOptionsAct(line.c_str())) {
      if (TellRunningInstance(instance, "command " + line, 5000)) {
        printf("ferrox-settings: %s applied by the running window\n", line.c_str());
        return 0;
      }
      fprintf(stderr, "ferrox-settings: the running window did not answer; %s not applied\n", line.c_str());
      return 1;
    }
    TellRunningInstance(instance, "raise", 5000);
    LogLine(LOG_CLOSE | LOG_CRLF, "Switching to running app");
    return -1;
  }
  if (int done = RunCommandOptions(line.c_str())) return done > 0 ? 0 : 1;
  int qtArgc = static_cast<int>(qtArgs.size());
  qtArgs.push_back(nullptr);
  // Without a display Qt would abort with its own message: say what is missing instead.
  bool platformChosen = getenv("QT_QPA_PLATFORM") && *getenv("QT_QPA_PLATFORM");
  for (char* q : qtArgs)
    if (q && (!strcmp(q, "-platform") || !strncmp(q, "-platform=", 10))) platformChosen = true;
  if (!platformChosen && !(getenv("DISPLAY") && *getenv("DISPLAY")) &&
      !(getenv("WAYLAND_DISPLAY") && *getenv("WAYLAND_DISPLAY"))) {
    fprintf(stderr, "ferrox-settings: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return 1;
  }
  QApplication app(qtArgc, qtArgs.data());
  app.setApplicationName("ferrox-settings");
  app.setDesktopFileName("ferrox-settings");
  SingleInstance single(instance);
  StartSettingsProgram();
  MainWindow window;
  QObject::connect(&single, &SingleInstance::raiseRequested, &window, &MainWindow::bringForward);
  QObject::connect(&single, &SingleInstance::commandRequested, &window, &MainWindow::applyCommand);
  window.show();
  const int code = app.exec();
  QThreadPool::globalInstance()->waitForDone();  // an export or update still running
  EndSettingsProgram();  // the reader ends while the window it notifies still exists
  return code;
}
