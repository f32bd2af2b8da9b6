// frxd: the device manager and services manager of the Linux system, and the bridges that give
// Linux programs the driver's virtual port.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <getopt.h>
#include "settings_store/settings.h"
#include "device_manager.h"
#include "platform/device_protocol.h"
#include "platform/files.h"
#include "gpsd_handoff.h"
#include "time_keeper.h"
#include "host_settings.h"
#include "status_command.h"
#include "power_watch.h"
#include "pty_bridge.h"
#include "support/reg_file.h"
#include "socket_server.h"
#include "support/log.h"
#include "support/program_options.h"
#include "tcp_server.h"

namespace {

constexpr char16_t kDriverKey[] = u"Drivers\\BuiltIn\\FrxDriver";

const char kUsage[] =
    "Usage: frxd [--root DIR] [--foreground | --status | --stop]\n"
    "Loads the drivers registered under Drivers\\BuiltIn (Flags 0) and serves them: to other\n"
    "Ferrox processes over the socket <root>/frxd.sock, and to every Linux program as a virtual\n"
    "serial port (a pseudo-terminal, by default <root>/dev/ttyFRX0) and an NMEA TCP server (by\n"
    "default 127.0.0.1:10110). What the data root lacks of the default registry and the geoid\n"
    "table is filled in first; values already set are kept. SIGTERM or SIGINT stops it in order.\n"
    "\n"
    "  --root DIR     data root (default: $FERROX_ROOT, else $XDG_DATA_HOME/ferrox, else\n"
    "                 ~/.local/share/ferrox)\n"
    "  --foreground   stay in the foreground (default: detach once running)\n"
    "  --status       what the frxd running on the root does: its pid, ports, each mapped COMn:\n"
    "                 and its state, the current source, the last fix and its age, the clients,\n"
    "                 the logs; exit 1 when none runs\n"
    "  --stop         end the frxd running on the root and wait for it (exit 1 when none runs)\n"
    "  --version      print the version\n"
    "  --help         this text\n"
    "Settings (HKLM\\Software\\Quorvale\\Frxd): PtyLink (sz), TcpAddress (sz), TcpPort (dword, 0 off),\n"
    "AllowWrites (dword: pass what programs write to the driver; 0 by default), SocketMode (dword),\n"
    "NmeaSocket (sz: a Unix socket with the NMEA server's batches, mode SocketMode, for a desktop's\n"
    "location service), GpsdControl (sz: a running gpsd's control socket, e.g. /run/gpsd.sock; the\n"
    "virtual port is added to that gpsd at start and whenever it starts again, and removed at stop).\n"
    "HKLM\\Software\\Quorvale\\FerroxDriver ChronySocket (sz: a time daemon's SOCK refclock socket): one\n"
    "time sample per fix, corrected by the receiver's latency (measured with the profile's AutoLag);\n"
    "frxd then reads the receiver with no program on the port and never sets the clock itself.\n";
// The default registry and geoid table: FERROX_DATA_DIR, else <prefix>/share/ferrox of an
// installed frxd, else the source tree it was built from.
std::string DataDir() {
  if (const char* d = getenv("FERROX_DATA_DIR"); d && *d) return d;
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = 0;
    std::string installed = std::filesystem::path(exe).parent_path().string() + "/../share/ferrox";
    if (std::filesystem::exists(installed + "/default-registry.reg")) return installed;
  }
  return FERROX_DATA_DIR;
}

// Only the owner, or the owner and the group, may reach the host's socket.
bool SocketModeAllowed(unsigned mode) { return (mode & ~0770u) == 0 && (mode & 0600u) == 0600u; }

// Fills in what installing the system writes and the root lacks: the default registry's keys and
// values (values the user set are kept) and the geoid table. A root counts as set up by what it
// holds, not by its registry file existing: a user may have mapped a port before the first start.
bool SetUpRoot(std::string* error) {
  const std::string root = PlatformRoot();
  std::error_code ec;
  PlatformMakePrivateDirs(root + "/Windows");
  PlatformMakePrivateDirs(root + "/Storage Card");
  std::string text;
  if (!PlatformReadLinuxFile(DataDir() + "/default-registry.reg", &text)) {
    *error = "cannot read " + DataDir() + "/default-registry.reg";
    return false;
  }
  std::vector<RegChange> changes;
  if (!ParseRegText(text, changes, *error) || ApplyRegChanges(changes, *error, true)) return false;
  const std::string table = root + "/Windows/AltitudeTable_1.RAW";
  if (!std::filesystem::exists(table)) {
    std::filesystem::copy_file(DataDir() + "/AltitudeTable_1.RAW", table, ec);
    if (ec) {
      *error = "cannot install the geoid table: " + ec.message();
      return false;
    }
    chmod(table.c_str(), 0600);
  }
  return true;
}

// One host per data root: an exclusive lock on <root>/frxd.lock, held for the life of the process
// and taken before anything of the root is touched (a second host used to remove the first one's
// socket, link and registry keys before it failed). The file holds the holder's pid.
int g_rootLock = -1;

std::string LockRoot() {
  const std::string root = PlatformRoot(), path = root + "/frxd.lock";
  PlatformMakePrivateDirs(root);
  g_rootLock = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (g_rootLock < 0) return "cannot open " + path + ": " + strerror(errno);
  if (flock(g_rootLock, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    ssize_t n = pread(g_rootLock, pid, sizeof pid - 1, 0);
    std::string holder = n > 0 ? std::string(pid, static_cast<size_t>(n)) : "unknown";
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
    close(g_rootLock);
    g_rootLock = -1;
    return "frxd is already running on " + root + " (pid " + holder + "); nothing changed";
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(g_rootLock, 0) != 0 || pwrite(g_rootLock, pid.data(), pid.size(), 0) < 0)
    return "cannot write " + path + ": " + strerror(errno);
  return "";
}

// Sets everything up; an empty result means running.
std::string Start() {
  std::string error;
  if (!SetUpRoot(&error)) return error;
  SetLogName("Frxd");
  SetLogEcho(1);  // its events in the journal as well
  // The host's own log is always written (refused messages and connections, a second host): its
  // size is capped, the older half kept as FrxdOld.txt; EnableLogs 2 and more makes it longer.
  if (LogReadEnableSetting(MAIN_KEY) == 0) LogSetEnable(1);
  LogLine(LOG_NEWFILE | LOG_CRLF, "frxd Startup");
  HostSettings s = LoadHostSettings();
  if (*PlatformRegistryError()) return PlatformRegistryError();
  if (!SocketModeAllowed(s.socketMode)) {
    char text[160];
    snprintf(text, sizeof text, "SocketMode %#o refused: only the owner (0600) or the owner and group (0660) may use the socket",
             s.socketMode);
    return text;
  }
  if (!StartSocketServer(PlatformHostSocketPath(), s.socketMode, &error)) return error;
  InstallDeviceManager();
  if (int stale = RemoveStaleActiveKeys()) LogPrintf(LOG_CRLF, "Removed %d stale Drivers\\Active keys", stale);
  if (ActivateBuiltinDrivers() == 0) return "no driver could be activated (see Drivers\\BuiltIn)";
  ActivateRegisteredServices();
  StartPowerWatch();
  // The virtual port serves the Ferrox driver, whatever else is registered.
  std::u16string port = DeviceNameOf(kDriverKey);
  if (port.empty()) return "the driver registered under Drivers\\BuiltIn\\FrxDriver could not be activated";
  if (!StartPtyBridge(s.ptyLink, kDriverKey, s.allowWrites != 0, &error)) return error;
  if (s.tcpPort != 0 && !StartTcpServer(s.tcpAddress, s.tcpPort, kDriverKey, s.allowWrites != 0, &error)) return error;
  if (!s.nmeaSocket.empty() && !StartNmeaSocket(s.nmeaSocket, s.socketMode, kDriverKey, s.allowWrites != 0, &error))
    return error;
  if (!s.gpsdControl.empty()) {  // a system's gpsd opens added devices as a member of dialout
    if (!ShareVirtualPort("dialout", &error))
      LogPrintf(LOG_CRLF | LOG_FLUSH, "Virtual port: cannot give it to the dialout group (%s): gpsd may not open it",
                error.c_str());
    StartGpsdHandoff(s.gpsdControl, VirtualPortTerminal());  // the link lies in the private root
  }
  StartTimeKeeper(kDriverKey, s.chronySocket);
  fprintf(stderr, "frxd: %s on %s%s\n", WideToUtf8(port.c_str()).c_str(), s.ptyLink.c_str(),
          s.tcpPort ? (" and " + s.tcpAddress + ":" + std::to_string(s.tcpPort)).c_str() : "");
  return "";
}

void Stop() {
  StopGpsdHandoff();  // gpsd lets go of the port before it closes
  StopTimeKeeper();
  StopPowerWatch();
  StopTcpServer();
  StopPtyBridge();
  StopSocketServer();
  DeactivateAllDevices();
  LogLine(LOG_CLOSE | LOG_CRLF, "frxd Stopped");
}

int Fail(const std::string& message) {
  fprintf(stderr, "frxd: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool foreground = false, status = false, stop = false;
  int done = ReadProgramOptions(argc, argv, "frxd", kUsage,
                                {{"foreground", false, SetsFlag(&foreground)},
                                 {"status", false, SetsFlag(&status)},
                                 {"stop", false, SetsFlag(&stop)}},
                                OPTIONS_WITH_ROOT);
  if (done >= 0) return done;
  if (optind < argc) return Fail(std::string("unknown argument ") + argv[optind] + " (see --help)");
  if (status) return PrintHostStatus();
  if (stop) return StopRunningHost();
  PlatformSetHostProcess(true);
  // Programs this host starts find the same data root.
  setenv("FERROX_ROOT", PlatformRoot().c_str(), 1);
  int ready[2] = {-1, -1};
  if (!foreground) {  // detach, but report a failed start from the parent
    if (pipe(ready) != 0) return Fail("cannot detach");
    pid_t pid = fork();
    if (pid < 0) return Fail("cannot detach");
    if (pid > 0) {
      close(ready[1]);
      char message[512] = {};
      ssize_t n = read(ready[0], message, sizeof message - 1);
      if (n > 1) return Fail(message + 1);
      return n == 1 && message[0] == 'y' ? 0 : Fail("stopped while starting");
    }
    close(ready[0]);
    setsid();
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread: only sigwait below takes them
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);  // a file size limit fails the write (the track log skips a point), not the host
  std::string error = LockRoot();
  bool locked = error.empty();
  if (!locked && std::filesystem::is_directory(PlatformRoot() + "/Quorvale")) {
    SetLogName("Frxd");  // the running host's log says who tried
    LogSetEnable(1);
    LogPrintf(LOG_CRLF | LOG_FLUSH, "A second frxd (pid %d) refused: %s", static_cast<int>(getpid()), error.c_str());
  }
  if (locked) error = Start();
  if (!error.empty()) {
    if (locked) Stop();
    if (!foreground) {
      std::string m = "n" + error;
      ssize_t n = write(ready[1], m.data(), m.size());
      (void)n;
    }
    return Fail(error);
  }
  if (!foreground) {
    if (write(ready[1], "y", 1) != 1) LogPrintf(LOG_CRLF, "Cannot tell the starting shell: %s", strerror(errno));
    close(ready[1]);
    // Detached: the terminal's streams are let go, or the host would hold the terminal open.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
      LogPrintf(LOG_CRLF, "Cannot let go of the terminal: %s", strerror(errno));
    if (null > 2) close(null);
  }
  int received = 0;
  sigwait(&signals, &received);
  Stop();
  return 0;
}
